// imbrel-module rehearse: what it reports of an update is what the same update does when it
// runs for real, and the module rehearsed on is left as it was.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "host/hardware/nand_chip.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;
using test::CommandResult;
using test::RunCommand;

const char kNk[] = "fs/USB HD/IMAGES/nk.bin";
const char kEboot[] = "fs/USB HD/IMAGES/eboot.bin";

class Rehearse : public ::testing::Test {
 protected:
  CommandResult Tool(const std::string& args) {
    return RunCommand(std::string(IMBREL_MODULE_TOOL) + " " + args);
  }
  void Ok(const std::string& args) {
    CommandResult r = Tool(args);
    ASSERT_EQ(r.status, 0) << args << "\n" << r.out << r.err;
  }
  std::string At(const std::string& name) { return (dir_ / name).string(); }
  std::string Quoted(const fs::path& path) { return "'" + path.string() + "'"; }
  nlohmann::json Json(const std::string& args, int status) {
    CommandResult r = Tool(args + " --json");
    EXPECT_EQ(r.status, status) << args << "\n" << r.out << r.err;
    return nlohmann::json::parse(r.out);
  }
  // Every file of the module with its bytes.
  std::map<std::string, std::string> Files(const fs::path& dir) {
    std::map<std::string, std::string> files;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir)) {
      if (e.is_regular_file()) {
        files[e.path().lexically_relative(dir).string()] = test::ReadFile(e.path());
      }
    }
    return files;
  }
  std::vector<std::uint32_t> Erases(const fs::path& dir) {
    const std::string bytes = test::ReadFile(dir / "nand.erases");
    std::vector<std::uint32_t> counts(bytes.size() / 4);
    if (!counts.empty()) std::memcpy(counts.data(), bytes.data(), counts.size() * 4);
    return counts;
  }
  test::TempDir dir_;
};

// A field unit's NAND, written page by page as a programmer reads it off the chip: physical
// block 5 (under the OS image) carries the maker's bad mark, and the relocation table already
// moves a block. The rehearsal of an update over block 5 must say what a real run then does.
TEST_F(Rehearse, ReportsWhatTheSameUpdateDoesOnACopy) {
  const fs::path unit = dir_ / "unit";
  Ok("create " + unit.string() + " --nand --chip 0xF1EC");
  Ok("fault " + unit.string() + " --bad-block 20 --on erase");
  Ok("erase " + unit.string() + " 0x280000 0x20000");  // block 20 fails: a table entry
  {
    // The dump: every page's 2048 data bytes and 64 spare bytes, from the cells, and the
    // maker's mark (a zero first spare byte in pages 0 and 1) on block 5.
    const std::string cells = test::ReadFile(unit / "nand.img");
    std::ofstream dump(At("unit.oob"), std::ios::binary);
    const std::size_t raw = host::kNandRawPageBytes;
    for (std::size_t page = 0; page * raw < cells.size(); ++page) {
      std::string bytes = cells.substr(page * raw, raw);
      if (page / 64 == 5 && page % 64 < 2) bytes[host::kNandPageBytes] = 0;
      dump.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
  }
  const fs::path m = dir_ / "m";
  Ok("create " + m.string() + " --nand --from-dump " + At("unit.oob"));
  const std::map<std::string, std::string> before = Files(m);

  nlohmann::json report = Json("rehearse " + m.string() + " --bin " + Quoted(m / kNk), 0);
  EXPECT_EQ(Files(m), before) << "the rehearsal changed the module";
  EXPECT_EQ(report["outcome"], "update done");
  EXPECT_EQ(report["integrity"]["changed_outside"], 0);
  EXPECT_EQ(report["integrity"]["image_in_place"], true);
  EXPECT_EQ(report["bad_blocks"]["factory_bad_met"], nlohmann::json::array({5}));
  ASSERT_EQ(report["bad_blocks"]["relocated"].size(), 1u) << report.dump(1);
  EXPECT_EQ(report["bad_blocks"]["relocated"][0]["logical_block"], 5);

  // The same update for real, on a copy.
  const fs::path real = dir_ / "real";
  fs::copy(m, real, fs::copy_options::recursive);
  CommandResult run = RunCommand(IMBREL_TOOL + " --module " + real.string() +
                                 " --ui console /u '\\USB HD\\IMAGES\\nk.bin'");
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  std::smatch took;
  const std::string out = run.out + run.err;
  ASSERT_TRUE(std::regex_search(out, took, std::regex("took ([0-9.]+) (ms|s) of module time")))
      << out;
  const double real_ns = std::stod(took[1]) * (took[2] == "s" ? 1e9 : 1e6);
  const double rehearsed_ns = report["time"]["module_ns"].get<double>();
  EXPECT_NEAR(rehearsed_ns, real_ns, real_ns * 0.02 + 1e6) << out;

  // Wear and blocks: the erase counts the real run added.
  const std::vector<std::uint32_t> was = Erases(m), now = Erases(real);
  std::uint32_t added = 0;
  std::set<std::size_t> erased;
  for (std::size_t b = 0; b < now.size(); ++b) {
    const std::uint32_t old = b < was.size() ? was[b] : 0;  // none yet: never opened
    added += now[b] - old;
    if (now[b] != old) erased.insert(b);
  }
  EXPECT_EQ(report["wear"]["erases_added"], added);
  EXPECT_EQ(report["erased"]["blocks"], erased.size());

  // The next start: what info says a start of the real module runs.
  CommandResult info = Tool("info " + real.string());
  ASSERT_EQ(info.status, 0);
  const std::string runs = report["next_start"]["runs"];
  EXPECT_NE(info.out.find("a start runs " + runs), std::string::npos) << runs << "\n" << info.out;
  EXPECT_NE(info.out.find("2 entries"), std::string::npos) << info.out;
}

TEST_F(Rehearse, CutsOverABootloaderUpdateNameWhatTheyLeave) {
  const fs::path m = dir_ / "m";
  Ok("create " + m.string() + " --nand --chip 0xF1EC");
  const std::map<std::string, std::string> before = Files(m);
  const fs::path svg = dir_ / "t.svg";
  nlohmann::json report = Json("rehearse " + m.string() + " --bin " + Quoted(m / kEboot) +
                                   " --cuts 24 --svg " + svg.string(),
                               1);
  EXPECT_EQ(Files(m), before);
  const nlohmann::json& cuts = report["cuts"];
  EXPECT_EQ(cuts["made"], 24);
  EXPECT_EQ(cuts["image_in_place"].get<int>() + cuts["needs_update"].get<int>() +
                cuts["bootloader_menu"].get<int>() + cuts["does_not_start"].get<int>() +
                cuts["findings"].get<int>(),
            24);
  EXPECT_EQ(cuts["findings"], 0) << report.dump(1);
  // A cut while block 0 is erased and written again leaves no bootloader: the module does
  // not start, and the report names the operation.
  ASSERT_GT(cuts["does_not_start"].get<int>(), 0);
  bool erase_of_block_0 = false, table_page = false;
  for (const nlohmann::json& lost : cuts["lost"]) {
    erase_of_block_0 |= lost["where"] == "NAND erase of physical block 0";
    // The table-page window: the table page cut before any of it landed.
    if (lost["detail"].get<std::string>().find("no relocation table page") != std::string::npos) {
      table_page = true;
      EXPECT_EQ(lost["where"], "NAND program of physical page 63");
    }
  }
  EXPECT_TRUE(erase_of_block_0) << cuts.dump(1);
  EXPECT_TRUE(table_page) << cuts.dump(1);
  EXPECT_GT(cuts["image_in_place"].get<int>(), 0);
  // The timeline: a row for the blocks the update touched.
  const std::string picture = test::ReadFile(svg);
  EXPECT_NE(picture.find("<svg"), std::string::npos);
  EXPECT_NE(picture.find(">block 0</text>"), std::string::npos);
}

// A cut while the OS image's first block is erased leaves the bootloader with no image to
// take; a cut later leaves a header the bootloader takes, and the update again mends it.
TEST_F(Rehearse, NorCutsOverAnImageUpdateSayWhichLeaveTheBootloaderInItsMenu) {
  const fs::path m = dir_ / "m";
  Ok("create " + m.string() + " --nor --cfi-size 0x15");
  CommandResult r = Tool("rehearse " + m.string() + " --bin " + Quoted(m / kNk) + " --cuts 12");
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  for (const char* expected :
       {"outcome      update done", "they hold OS image", "0 bytes outside them changed", "12 over",
        "7 end with the image in place", "5 leave the bootloader in its menu",
        "bootloader menu: 5 cuts during operations 1-2 (NOR erase of the block at bus offset "
        "0x80000",
        "next start   runs the OS image at 0x80000"}) {
    EXPECT_NE(r.out.find(expected), std::string::npos) << expected << "\n" << r.out;
  }
}

// The cuts are made from one run of the update, each handed over as its operation lands
// part of the way. The slow road, each cut run replaying the update from its start, must
// find the same: the same module left by every cut, the same start after it.
TEST_F(Rehearse, CutsFromOneRunLeaveWhatCutsReplayedFromTheStartLeave) {
  const fs::path nand = dir_ / "nand", nor = dir_ / "nor";
  Ok("create " + nand.string() + " --nand --chip 0xF1EC");
  Ok("fault " + nand.string() + " --bad-block 4 --on erase");  // the image meets it
  ASSERT_EQ(RunCommand(IMBREL_TOOL + " --module " + nand.string() + " --ui console /fu").status, 0);
  Ok("create " + nor.string() + " --nor --cfi-size 0x15");
  const struct {
    fs::path module;
    const char* bin;
    int cuts;
  } cases[] = {{nand, kEboot, 60}, {nand, kNk, 40}, {nor, kNk, 30}};
  for (const auto& c : cases) {
    const std::string args = "rehearse " + c.module.string() + " --bin " +
                             Quoted(c.module / c.bin) + " --cuts " + std::to_string(c.cuts) +
                             " --json";
    CommandResult walked = Tool(args);
    CommandResult replayed =
        RunCommand("IMBREL_REHEARSE_REPLAY=1 " + std::string(IMBREL_MODULE_TOOL) + " " + args);
    ASSERT_EQ(walked.status, replayed.status) << args << "\n" << walked.err << replayed.err;
    nlohmann::json a = nlohmann::json::parse(walked.out), b = nlohmann::json::parse(replayed.out);
    EXPECT_EQ(a["cuts"]["made"], c.cuts) << args;
    EXPECT_EQ(a["cuts"]["findings"], 0) << a["cuts"].dump(1);
    a.erase("time");  // host time
    b.erase("time");
    EXPECT_EQ(a, b) << args;
  }
}

// Ctrl-C or a TERM ends a rehearsal with its own status and takes the work copy with it; the
// module is as it was. (A background job of a script ignores Ctrl-C's INT, and so does the
// rehearsal: TERM it is.)
TEST_F(Rehearse, InterruptedLeavesNothingBehind) {
  const fs::path m = dir_ / "m", tmp = dir_ / "tmp";
  Ok("create " + m.string() + " --nand --chip 0xF1EC");
  fs::create_directory(tmp);
  const std::map<std::string, std::string> before = Files(m);
  CommandResult r = RunCommand("TMPDIR=" + tmp.string() + " " + IMBREL_MODULE_TOOL + " rehearse " +
                               m.string() + " --bin " + Quoted(m / kNk) +
                               " --cuts 20000 & p=$!; sleep 1.5; kill -TERM $p; wait $p");
  EXPECT_EQ(r.status, 130) << r.out << r.err;
  EXPECT_NE(r.err.find("rehearse: interrupted; the module is as it was"), std::string::npos)
      << r.err;
  EXPECT_TRUE(fs::is_empty(tmp)) << "a work copy was left in " << tmp;
  EXPECT_EQ(Files(m), before);

  // A signal its caller ignores (nohup, trap '' INT) does not end it.
  r = RunCommand("bash -c \"trap '' INT HUP; exec " + std::string(IMBREL_MODULE_TOOL) +
                 " rehearse " + m.string() + " --bin " + Quoted(m / kNk) +
                 " --cuts 200 --json\" & p=$!; sleep 1; kill -INT $p; kill -HUP $p; wait $p");
  EXPECT_EQ(r.status, 1) << r.err;  // as it ends uninterrupted: some cuts lose the image
  EXPECT_EQ(nlohmann::json::parse(r.out)["cuts"]["made"], 200);
}

TEST_F(Rehearse, FailuresAndBadInput) {
  const fs::path m = dir_ / "m";
  Ok("create " + m.string() + " --nor --cfi-size 0x15");
  // An image whose record checksum is wrong: the program's own box, status 1.
  std::string bin = test::ReadFile(m / kNk);
  bin[bin.size() / 2] ^= 0x55;
  std::ofstream(At("broken.bin"), std::ios::binary) << bin;
  nlohmann::json report = Json("rehearse " + m.string() + " --bin " + At("broken.bin"), 1);
  EXPECT_EQ(report["succeeded"], false);
  EXPECT_NE(report["outcome"].get<std::string>().find("BAD CRC"), std::string::npos)
      << report["outcome"];

  EXPECT_EQ(Tool("rehearse " + At("none") + " --bin " + Quoted(m / kNk)).status, 2);
  EXPECT_EQ(Tool("rehearse " + m.string() + " --bin " + At("missing.bin")).status, 2);
  std::ofstream(At("text.bin")) << "not an image";
  CommandResult r = Tool("rehearse " + m.string() + " --bin " + At("text.bin"));
  EXPECT_NE(r.status, 0);
}

}  // namespace
