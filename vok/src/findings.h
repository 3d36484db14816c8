// What vok found wrong in a file and what it mended, as ids with a number;
// messages.cpp words them in the user's language.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum class Note : uint8_t {
  // Headers
  JunkBefore,         // a: bytes before the file header, cut
  FileHeaderRebuilt,  // .RMF lost or damaged, written anew
  PropRebuilt,        // PROP lost, made from the packets
  ContRebuilt,        // CONT lost, an empty one
  DataHeaderRebuilt,  // DATA's header lost, made from the packets
  ChunkSizeFixed,     // a: offset of a header chunk whose size field was wrong
  MdprMended,         // a: stream number whose name or type was lost
  WrongStreamCount,
  SecondPropDropped,     // a: where a second PROP, the one not read, was
  MetadataDropped,       // the header of the metadata stream, damaged
  HeadersFromReference,  // name: the file of the same making whose header chunks it took
  HeadersRebuilt,        // name: what the packets showed the streams to be
  // Packets
  DamagedRegions,  // a: count
  TruncatedTail,
  ZeroFilledTail,
  JunkAfterPackets,
  DataChunksMerged,   // a: count of DATA chunks
  BadTimestamps,      // a: packets whose timestamp breaks their stream's order
  RepeatedPackets,    // a: packets that repeat earlier ones
  MisfitPackets,      // a: packets whose payload is not of their stream
  FramesLost,         // a: video frames left out, a part of each lost
  SoundLost,          // a: ms of audio in blocks left out, a packet of each lost
  SecondFileJoined,   // a: where the second file started
  SecondFileFollows,  // a: where a second file starts that cannot be joined: it goes to a file of its own
  // Fields
  WrongDuration,
  LiveFlag,
  WrongDataOffset,
  WrongIndexOffset,
  WrongPacketCount,
  UnfinalisedHeader,
  WrongDataHeader,
  // After the packets
  StaleIndexDropped,
  IndexMismatch,
  DamagedChunksAfter,
};

struct Finding {
  Note note;
  uint64_t a = 0;
  std::string name;  // a file it names, said for %1 where given
};

// Findings that count something: a second look adds to them.
inline bool counts(Note n) {
  return n == Note::DamagedRegions || n == Note::BadTimestamps || n == Note::RepeatedPackets ||
         n == Note::MisfitPackets || n == Note::FramesLost || n == Note::SoundLost;
}

// Adds a finding once; a second one of the same kind and number is dropped.
inline void add_finding(std::vector<Finding>& to, Note note, uint64_t a = 0, const std::string& name = "") {
  for (const Finding& f : to)
    if (f.note == note && f.a == a) return;
  to.push_back({note, a, name});
}

// What a second look at a repair found, added to what the first found.
inline void merge_findings(std::vector<Finding>& to, const std::vector<Finding>& more) {
  for (const Finding& f : more) {
    bool added = false;
    for (Finding& t : to)
      if (t.note == f.note && counts(f.note)) t.a += f.a, added = true;
    if (!added) add_finding(to, f.note, f.a, f.name);
  }
}
