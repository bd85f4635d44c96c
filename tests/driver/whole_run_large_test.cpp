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

#include "support/launch.hpp"
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

// Runs digitmill M in the sandbox, looking at its descriptors every few
// milliseconds until it ends.
Watched run_watched(const testsupport::Sandbox& box, int m) {
  Watched w;
  testsupport::Digitmill run(box, testsupport::with_args({std::to_string(m)}));
  const std::string fd_dir = "/proc/" + std::to_string(run.pid()) + "/fd";
  for (;;) {
    if (run.exited()) {
      const int status = run.wait();
      w.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    for (const auto& [fd, target] : run.files_open_in(box.tmp())) {
      struct stat st;
      if (::stat((fd_dir + "/" + std::to_string(fd)).c_str(), &st) != 0) continue;
      if (!w.largest.count(fd)) w.links.push_back(target);
      w.largest[fd] = std::max(w.largest[fd], static_cast<long long>(st.st_size));
    }
    std::error_code error;
    if (!fs::is_empty(box.tmp(), error) && !error) w.tmp_ever_named = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  w.out = run.out();
  return w;
}

void check_large_run(int m) {
  SCOPED_TRACE("M=" + std::to_string(m));
  const testsupport::Sandbox box("digitmill-large-" + std::to_string(m));
  const Watched w = run_watched(box, m);
  ASSERT_EQ(w.status, 0) << w.out;

  const std::string got = slurp(box.cwd() / "PI.DAT");
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
  // piece of 131072 words, and unit 23 one per block that goes to it (a
  // product of p pieces has p blocks, a leading-half square from 4 pieces
  // p + 1; the blocks of one term and both blocks of a product of two
  // pieces are formed in memory, so at most p - 1 go to the file, and none
  // at M = 21), except that at M = 20 (one piece) nothing goes to unit 22
  // either: a one-piece product keeps its second spectrum in memory and
  // forms its one block there, and every square and half product is still
  // in core. At four pieces (M = 22) the top block stays in memory too,
  // formed over the piece only it takes (B's last, a square's last), which
  // never goes to unit 22: one slot and one block fewer.
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
  const long long top_in_memory = pieces == 4 ? 1 : 0;
  EXPECT_EQ(sizes[6], m == 20 ? 0 : (pieces - top_in_memory) * slot) << "unit 22";
  const long long blocks = pieces >= 3 ? pieces - 1 - top_in_memory : 0;
  EXPECT_EQ(sizes[7], blocks * slot) << "unit 23";

  // They went with the process.
  EXPECT_TRUE(fs::is_empty(box.tmp()));
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
