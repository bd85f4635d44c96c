// Whole runs at the sizes whose products are blocked: from M = 20 the full
// products, from 21 the squares and half products, from 22 the leading-half
// squares. "PI.DAT" against pi from MPFR; while the run goes on, its work
// files seen through /proc: anonymous, in TMPDIR, the two spectrum files
// grown to one 4 MiB slot per piece.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/pi_reference.hpp"

#include "support/text_files.hpp"

namespace {

using testsupport::slurp;

namespace fs = std::filesystem;

struct Watched {
  int status = -1;
  std::string out;
  std::map<int, long long> largest;  // work file descriptor -> largest size seen
  std::vector<std::string> links;    // what /proc showed for them
  bool tmp_ever_named = false;       // a name appeared in TMPDIR
};

// Runs digitmill M in base/cwd with TMPDIR base/tmp, looking at its
// descriptors every few milliseconds until it ends.
Watched run_watched(const fs::path& base, int m) {
  const fs::path cwd = base / "cwd", tmp = base / "tmp";
  fs::create_directories(cwd);
  fs::create_directories(tmp);
  Watched w;
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (::chdir(cwd.c_str()) != 0) ::_exit(127);
    ::setenv("TMPDIR", tmp.c_str(), 1);
    if (!std::freopen("/dev/null", "r", stdin) || !std::freopen((base / "stdout").c_str(), "w", stdout)) {
      ::_exit(127);
    }
    const std::string arg = std::to_string(m);
    ::execl(DIGITMILL_EXE, DIGITMILL_EXE, arg.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const std::string fd_dir = "/proc/" + std::to_string(pid) + "/fd";
  const std::string prefix = tmp.string() + "/";
  for (;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      w.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fd_dir, error)) {
      std::error_code link_error;
      const std::string target = fs::read_symlink(entry.path(), link_error).string();
      if (link_error || target.rfind(prefix, 0) != 0) continue;
      struct stat st;
      if (::stat(entry.path().c_str(), &st) != 0) continue;
      const int fd = std::stoi(entry.path().filename().string());
      if (!w.largest.count(fd)) w.links.push_back(target);
      w.largest[fd] = std::max(w.largest[fd], static_cast<long long>(st.st_size));
    }
    if (!fs::is_empty(tmp, error) && !error) w.tmp_ever_named = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  w.out = slurp(base / "stdout");
  return w;
}

void check_large_run(int m) {
  SCOPED_TRACE("M=" + std::to_string(m));
  const fs::path base =
      fs::temp_directory_path() / ("digitmill-large-" + std::to_string(m) + "-" + std::to_string(::getpid()));
  fs::remove_all(base);
  const Watched w = run_watched(base, m);
  ASSERT_EQ(w.status, 0) << w.out;

  const std::string got = slurp(base / "cwd" / "PI.DAT");
  const std::string want = testsupport::pi_file(testsupport::pi_decimals(1L << m));
  if (got != want) {
    std::size_t pos = 0;
    while (pos < got.size() && pos < want.size() && got[pos] == want[pos]) ++pos;
    ADD_FAILURE() << "PI.DAT differs from pi at byte " << pos << " (sizes " << got.size() << " and "
                  << want.size() << ")";
  }
  EXPECT_NE(w.out.find(" End of main loop\n"), std::string::npos) << w.out;

  // Eight work files, opened in the order 11 .. 15, 21, 22, 23, all without
  // a name. A number file holds n + 2 words; the spectrum files one slot per
  // piece of 131072 words, and unit 23 one per block (a product of p pieces
  // has p blocks, a leading-half square from 4 pieces p + 1), except that
  // at M = 20 (one piece) nothing goes to units 22 and 23: a one-piece
  // product keeps its second spectrum in memory and forms its one block
  // there, and every square and half product is still in core.
  ASSERT_EQ(w.largest.size(), 8u);
  for (const std::string& link : w.links) {
    EXPECT_NE(link.find(" (deleted)"), std::string::npos) << link;
  }
  EXPECT_FALSE(w.tmp_ever_named);
  const long long n = (1LL << m) / 8, pieces = n / 131072, slot = 4LL << 20;
  std::vector<long long> sizes;
  for (const auto& [fd, size] : w.largest) sizes.push_back(size);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(sizes[i], (n / 1024 + 1) * 4096) << "number file " << i + 1;
  EXPECT_EQ(sizes[5], pieces * slot) << "unit 21";
  EXPECT_EQ(sizes[6], m == 20 ? 0 : pieces * slot) << "unit 22";
  const long long blocks = pieces >= 4 ? pieces + 1 : pieces >= 2 ? pieces : 0;
  EXPECT_EQ(sizes[7], blocks * slot) << "unit 23";

  // They went with the process.
  EXPECT_TRUE(fs::is_empty(base / "tmp"));
  fs::remove_all(base);
}

TEST(WholeRunSlow, BlockedFullProducts) {
  check_large_run(20);
}

TEST(WholeRunSlow, BlockedSquaresAndHalfProducts) {
  check_large_run(21);
}

TEST(WholeRunSlow, BlockedLeadingHalfSquares) {
  check_large_run(22);
}

}  // namespace
