// Runs the whole program against the simulated platform.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "launch/vokxp_main.h"
#include "platform/sim/sim.h"

// Bytes from "52 4D CE ..." so expected values are written as the bytes they are.
inline std::string unhex(const char* hex) {
  std::string out;
  for (const char* p = hex; *p;) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    out += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
    p += 2;
  }
  return out;
}

// RealPlayer.RM.6\shell\RM文件修复 and its command key, spelled out as bytes.
inline const std::string kVerb = "RealPlayer.RM.6\\shell\\" + unhex("52 4D CE C4 BC FE D0 DE B8 B4");
inline const std::string kCommand = kVerb + "\\command";

// The exit code; the program never returns any other way.
inline uint32_t run_vokxp(const std::string& module_path, const std::string& command_line) {
  sim::set_module_path(module_path);
  sim::set_command_line(command_line);
  try {
    vokxp_main();
  } catch (const sim::Exit& e) {
    return e.code;
  }
}

// A clean simulated machine with the usual program folder.
class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    sim::add_folder("C:\\Tools");
  }
};

// The run-time error box: caption "Error", and its text split into the number
// and the address fields.
struct RuntimeErrorBox {
  std::string number;   // positions 14-16, spaces included
  std::string address;  // positions 21-28
};

inline RuntimeErrorBox runtime_error_box(const sim::Box& box) {
  EXPECT_EQ(box.caption, "Error");
  EXPECT_EQ(box.type, 0u);
  EXPECT_EQ(box.text.size(), 29u) << box.text;
  if (box.text.size() != 29) return {};
  EXPECT_EQ(box.text.substr(0, 14), "Runtime error ");
  EXPECT_EQ(box.text.substr(17, 4), " at ");
  return {box.text.substr(14, 3), box.text.substr(21, 8)};
}
