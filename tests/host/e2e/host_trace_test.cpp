// "vozi-host --trace FILE": the library it loads traces into FILE, and the
// samples recorded are the same as without the trace.
#include <gtest/gtest.h>

#include "host_process.h"

namespace hosttest {
namespace {

std::vector<std::string> DataRows(const std::filesystem::path& csv) {
  std::vector<std::string> rows;
  for (const std::string& l : Lines(ReadFile(csv))) {
    if (l.rfind("#", 0) != 0) rows.push_back(l);
  }
  return rows;
}

TEST(HostTrace, TheLibraryTracesIntoTheFileAndRecordsTheSameSamples) {
  TempFolder t;
  const auto trace = t.Path() / "run.trace";
  const auto traced = t.Path() / "traced.csv";
  const auto plain = t.Path() / "plain.csv";
  const Env env = {{"TMPDIR", t.Path().string()}};
  const HostRun on = RunHost({"--trace", trace.string(), "acquire", "--simulate", "--samples", "200", "--csv",
                              traced.string()}, t.Path(), env);
  ASSERT_EQ(on.exitCode, 0) << on.err;
  const HostRun off = RunHost({"acquire", "--simulate", "--samples", "200", "--csv", plain.string()}, t.Path(), env);
  ASSERT_EQ(off.exitCode, 0) << off.err;

  EXPECT_EQ(DataRows(traced).size(), 201u);
  EXPECT_EQ(DataRows(traced), DataRows(plain));
  const std::string text = ReadFile(trace);
  EXPECT_EQ(text.rfind("# vozi trace of process ", 0), 0u) << text.substr(0, 200);
  for (const char* event : {" sent \":B\\n\"", " recv \"0.000000,", " state Starting -> Streaming", " step reader ended"}) {
    EXPECT_NE(text.find(event), std::string::npos) << event;
  }
}

}  // namespace
}  // namespace hosttest
