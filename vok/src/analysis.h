// The pipeline every mode runs, and the tests and the fuzzer with them: the
// headers (a reference's, where the file's own are lost), the packet scan,
// and the plan of what -f would write. One outcome says where it stopped.
#pragma once
#include <cstdint>
#include <string>

#include "packet_scan.h"
#include "reader.h"
#include "reference_fit.h"
#include "repair_plan.h"
#include "rm_headers.h"

enum class Outcome : uint8_t {
  Ok,
  TooLarge,         // over 4 GiB: its 32-bit offsets cannot be right
  Headers,          // not RealMedia, or headers that cannot be rebuilt: `verdict`, `h.problem`
  ReferenceBad,     // the reference is no sound RealMedia file
  ReferenceMisfit,  // the packets are not of the reference's streams: `fit`
  ReadError,
  Refused,  // `plan.refused`
};

// Headers for a file whose own are lost: a reference file's, or those
// rebuilt from its packets (`name` then says what they are). They must
// outlive the analysis.
struct Lender {
  Reader* in = nullptr;
  std::string name;  // as vok says it
  bool rebuilt = false;
};

struct Analysis {
  Outcome outcome = Outcome::Ok;
  HeaderVerdict verdict = HeaderVerdict::NotRealMedia;
  Headers h;  // the file's own, or the reference's made to fit its packets
  bool referenced = false;
  std::string reference;  // the lender's name
  Fit fit;
  Scan scan;
  Plan plan;
};

// The lender, where given, is read only when the file's own headers are lost.
Analysis analyse(Reader& in, const Lender& lender = Lender());
