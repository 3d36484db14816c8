// Every text vok shows, in English and Simplified Chinese. messages.cpp
// holds one table per language; a text's %1, %2, ... take its arguments.
#pragma once
#include <string>
#include <vector>

#include "findings.h"

enum class Lang : uint8_t { En, Zh };

enum class Msg : uint8_t {
  // Summary lines on standard output: the file, then how it is
  Line,
  Sound,
  NeedsRepair,
  Repaired,
  Backup,
  SecondSaved,
  Counts,
  Indexed,
  IndexRight,
  NotRepaired,
  // Errors, after "vok: FILE: "
  Error,
  NoSuchFile,
  Folder,
  NotRegular,
  Empty,
  ReadOnly,
  CannotOpen,
  InUse,
  OtherVok,
  StillWritten,
  NotRealMedia,
  RealAudio,
  HeadLost,
  StreamLost,
  CodecDamaged,
  DuplicateStream,
  NoStreams,
  Variant64,
  TooLargeInput,
  ReadError,
  NoPackets,
  NothingWhole,
  Multirate,
  TooLargeOutput,
  ReferenceBad,
  ReferenceMismatch,
  MisfitNoPackets,
  MisfitSizes,
  MisfitKeyframes,
  NoneBeside,
  UnsureBeside,
  NotRebuilt,
  RebuiltAlike,
  NoTemp,
  CannotWrite,
  NoBackup,
  NoReplace,
  Changed,
  NeedsRepairFirst,
  IndexWriteFailed,
  NotDurable,
  AttributesLost,
  StaleTemp,
  // The console
  Usage,
  PressAnyKey,
  Scanning,
  Writing,
  SummaryTitle,
  SummaryBackup,
  SummaryFailed,
  kCount
};

// The text in `lang` with %1, %2, ... replaced by `args`.
std::string message(Lang lang, Msg id, const std::vector<std::string>& args = {});
// One finding, worded for the summary line.
std::string finding_text(Lang lang, const Finding& f);
// Findings joined into one phrase.
std::string findings_text(Lang lang, const std::vector<Finding>& found);
