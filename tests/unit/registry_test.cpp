#include <gtest/gtest.h>

#include <algorithm>

#include "platform/platform.h"
#include "program_run.h"

namespace {


const std::string kScriptOpen = "create_file C:\\Tools\\vok-xp.bat";

using RegistryTest = ProgramTest;

TEST_F(RegistryTest, ReinstallFromAnotherFolderOverwrites) {
  sim::add_folder("D:\\Other");
  ASSERT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe"), 0u);
  ASSERT_EQ(run_vokxp("D:\\Other\\vokxp.exe", "vokxp.exe"), 0u);
  EXPECT_EQ(sim::default_value(kCommand), "\"D:\\Other\\vok-xp.bat\" \"%1\"");
}

TEST_F(RegistryTest, InstallOverwritesAnotherExtensionOwner) {
  plat::Key key;
  ASSERT_EQ(plat::reg_create_key(".RM", &key), 0u);
  ASSERT_EQ(plat::reg_set_default(key, "Other.Player"), 0u);
  plat::reg_close_key(key);
  ASSERT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe"), 0u);
  EXPECT_EQ(sim::default_value(".rm"), "RealPlayer.RM.6");
}

TEST_F(RegistryTest, RemovalDeletesTheVerbAndLeavesTheRest) {
  ASSERT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe"), 0u);
  ASSERT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe del"), 0u);
  EXPECT_FALSE(sim::key_exists(kCommand));
  EXPECT_FALSE(sim::key_exists(kVerb));
  EXPECT_TRUE(sim::key_exists("RealPlayer.RM.6\\shell"));
  EXPECT_EQ(sim::default_value(".rm"), "RealPlayer.RM.6");
  // the scripts stay on disk
  EXPECT_TRUE(sim::file_exists("C:\\Tools\\vok-xp.bat"));
  // the command key goes first: the verb key cannot go while it has one
  std::vector<std::string> deletes;
  for (const std::string& call : sim::calls()) {
    if (call.rfind("reg_delete_key ", 0) == 0) deletes.push_back(call.substr(15));
  }
  EXPECT_EQ(deletes, (std::vector<std::string>{kCommand, kVerb}));
}

TEST_F(RegistryTest, RemovalWithoutInstallStillSucceeds) {
  ASSERT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe del"), 0u);
  ASSERT_EQ(sim::boxes().size(), 1u);
  EXPECT_EQ(sim::boxes()[0].caption, "");
}

// The key names differ only in case: Windows finds the same keys.
TEST_F(RegistryTest, RemovalFindsKeysWhateverTheirCase) {
  plat::Key key;
  ASSERT_EQ(plat::reg_create_key("realplayer.rm.6\\SHELL\\rm\xCE\xC4\xBC\xFE\xD0\xDE\xB8\xB4\\COMMAND", &key),
            0u);
  plat::reg_close_key(key);
  ASSERT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe del"), 0u);
  EXPECT_FALSE(sim::key_exists(kVerb));
}

// A registry failure is a failure: the run-time error with the function's
// result, at the check's own address, and nothing after it.
TEST_F(RegistryTest, FailuresEndTheProgram) {
  struct Case {
    const char* name;
    const char* line;
    sim::Op op;
    std::string key;
    uint32_t code;
    const char* number;
    std::string forbidden;  // a call that must not happen after the failure
  } cases[] = {
      {"create command key", "vokxp.exe", sim::Op::RegCreate, kCommand, 5, "  5", "reg_create_key .rm"},
      {"set command", "vokxp.exe", sim::Op::RegSet, kCommand, 5, "  5", "reg_create_key .rm"},
      {"create .rm", "vokxp.exe", sim::Op::RegCreate, ".rm", 1021, "253", kScriptOpen},
      {"set .rm", "vokxp.exe", sim::Op::RegSet, ".rm", 1392, "112", kScriptOpen},
      {"delete command key", "vokxp.exe del", sim::Op::RegDelete, kCommand, 5, "  5",
       "reg_delete_key " + kVerb},
      {"delete verb key", "vokxp.exe del", sim::Op::RegDelete, kVerb, 1018, "250", ""},
  };
  std::vector<std::string> addresses;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int run = 0; run < 2; ++run) {
      sim::reset();
      sim::add_folder("C:\\Tools");
      if (std::string(c.line) != "vokxp.exe") {
        ASSERT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe"), 0u);
      }
      sim::reset_records();
      sim::fail(c.op, 1, c.code, c.key);
      EXPECT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", c.line), c.code & 0xFF);
      ASSERT_EQ(sim::boxes().size(), 1u);
      RuntimeErrorBox box = runtime_error_box(sim::boxes()[0]);
      EXPECT_EQ(box.number, c.number);
      for (const std::string& call : sim::calls()) EXPECT_NE(call, c.forbidden) << "ran after the failure";
      if (run == 0)
        addresses.push_back(box.address);
      else
        EXPECT_EQ(box.address, addresses.back()) << "same site, same address on every run";
    }
  }
  std::sort(addresses.begin(), addresses.end());
  EXPECT_EQ(std::unique(addresses.begin(), addresses.end()), addresses.end())
      << "every check has its own address";
}

// Closing is not checked: a failed close changes nothing.
TEST_F(RegistryTest, CloseFailuresPassUnnoticed) {
  sim::fail(sim::Op::RegClose, 1, 6);
  sim::fail(sim::Op::RegClose, 1, 6);
  EXPECT_EQ(run_vokxp("C:\\Tools\\vokxp.exe", "vokxp.exe"), 0u);
  EXPECT_EQ(sim::default_value(".rm"), "RealPlayer.RM.6");
  ASSERT_EQ(sim::boxes().size(), 1u);
  EXPECT_EQ(sim::boxes()[0].caption, "");
}

}  // namespace
