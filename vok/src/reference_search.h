// Which of the RealMedia files beside one whose headers are lost was made
// the same way, so that its headers can stand for the lost ones: users keep
// the episodes of one release side by side.
#pragma once
#include <string>
#include <vector>

#include "reader.h"

struct Candidate {
  std::string name;  // as vok says it
  Reader* in;
};

struct Choice {
  int taken = -1;                   // the one whose headers fit, or -1
  std::vector<std::string> unsure;  // else those that fit only weakly, or equally well
};

// Judges each candidate on the first bytes of `damaged`; candidates come
// most alike in name first, and of equals the first is taken.
Choice choose_reference(Reader& damaged, const std::vector<Candidate>& candidates);
