// Header chunks made from the packets of a file that lost its own, where
// the packets say for sure what each stream is: the codec from the packets'
// own bytes, sizes and times, its settings from those real encoders write.
// A stream they do not determine leaves the file as it is.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "reader.h"

struct Rebuilt {
  std::vector<uint8_t> file;       // .RMF, PROP, an MDPR per stream and an empty DATA
  std::unique_ptr<Reader> reader;  // of `file`, for whoever takes the headers
  std::string said;                // what the streams are, as the summary says it
  int unknown = -1;                // the number of a stream they do not determine
  std::string alike;               // the settings its packets fit equally, where they fit several
};

// False when no packets are found or a stream is not determined.
bool rebuild_headers(Reader& in, Rebuilt& out);
