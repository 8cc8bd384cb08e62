// Jobs that follow one another on a NAND module: what one update leaves behind (a stop
// request, an erased boot area, a relocation that did not land) is what the next one meets.
// Each run of the program is a process of its own, forked from a test that runs in a fresh
// process (the program's state of earlier tests in the same process must not reach it); the
// flash is read back from nand.img through its table page, as the next start finds it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <fstream>
#include <functional>

#include "bin_writer.h"
#include "ce/kernel.h"
#include "flash/flash_ops.h"
#include "flash/nand/nand_flash.h"
#include "host/module/module.h"
#include "host/module/nand_logical.h"
#include "host/system/text.h"
#include "host/ui/script_backend.h"
#include "resources/resources.h"
#include "shell/program_state.h"
#include "test_support.h"
#include "update/update_dialog.h"

namespace {

using host::ui::UiEvent;
using Bytes = std::vector<std::uint8_t>;

class NandJobsTest : public ::testing::Test {
 protected:
  std::filesystem::path Dir() { return dir_ / "m"; }

  // A module as the factory makes it, its bootloader in logical block 0.
  void Make(const std::string& faults = "", std::uint16_t chip = 0xF1EC) {
    host::CreateOptions options;
    options.flash = host::FlashKind::kNand;
    options.nand_chip = chip;
    options.part_number = 8;
    host::CreateModule(Dir(), options);
    std::ofstream(Dir() / "faults.toml") << faults;
  }

  // nand.img as the table page in it lays out the logical flash.
  template <typename Body>
  void WithView(Body body) {
    int fd = open((Dir() / "nand.img").c_str(), O_RDONLY);
    const off_t size = lseek(fd, 0, SEEK_END);
    void* image = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    host::NandLogicalView view(static_cast<std::uint8_t*>(image),
                               static_cast<std::uint32_t>(size / (2112 * 64)));
    body(view);
    munmap(image, size);
  }

  Bytes Logical(std::uint32_t offset, std::uint32_t count) {
    Bytes bytes(count);
    WithView([&](const host::NandLogicalView& view) {
      EXPECT_TRUE(view.Read(offset, bytes.data(), count));
    });
    return bytes;
  }

  void PutBin(const char* name, const test::BinLayout& layout) {
    test::WriteFile(Dir() / "fs" / name, test::MakeBin(layout));
  }

  // One run of the program, in a process of its own, with quiet updates of `names` one after
  // another; `cancel` presses the dialog's cancel button at the first erase progress of the
  // first. The error boxes every update showed, one line each.
  // `setup` runs in that process once the flash driver is chosen.
  std::string Run(const std::vector<std::string>& names, bool cancel = false,
                  const std::function<void()>& setup = {}) {
    const std::filesystem::path boxes = dir_ / "boxes.txt";
    std::filesystem::remove(boxes);
    EXPECT_EQ(test::RunInChild([&] {
                auto module = host::Module::Open(Dir());
                host::ui::ScriptBackend& ui = host::ui::UseScriptBackend();
                InitCommonControls();
                if (cancel) {
                  ui.When(
                      [](const UiEvent& e) {
                        return e.kind == UiEvent::Kind::kProgressPos && e.id == 1002;
                      },
                      IDCANCEL);
                }
                AbortFlag = 0;
                if (setup) {
                  ASSERT_EQ(SelectFlashDriver(), kDriverNand);
                  setup();
                }
                std::ofstream out(boxes);
                for (const std::string& name : names) {
                  std::u16string path = u"\\" + host::Utf16(name);
                  std::copy(path.begin(), path.end(), ImagePath);
                  ImagePath[path.size()] = 0;
                  QuietFlag = 1;
                  DialogBoxParamW(nullptr, MAKEINTRESOURCEW(IDD_UPDATE), nullptr, UpdateDialogProc,
                                  0);
                }
                for (const UiEvent& e : ui.Events(UiEvent::Kind::kMessageBox)) {
                  out << host::Utf8(e.text) << "\n";
                }
              }),
              0);
    return test::ReadFile(boxes);
  }

  test::TempDir dir_;
};

TEST_F(NandJobsTest, UpdateAfterACancelledOneWritesNothing) {
  EXPECT_IN_FRESH_PROCESS({
    Make();
    // Physical blocks 0 and 1, data and spare bytes: no page may be programmed again.
    const std::string boot_area = test::ReadFile(Dir() / "nand.img").substr(0, 2 * 64 * 2112);
    PutBin("long.bin", {.start = 0x100000, .length = 0x200000, .records = {{0x100000, {1, 2}}}});
    PutBin("boot.bin", {.start = 0x10000, .length = 0x1000, .records = {{0x10000, {3, 4}}}});
    // The stop request of the first stays set: the second erases nothing, so writes nothing.
    Run({"long.bin", "boot.bin"}, true);
    EXPECT_TRUE(test::ReadFile(Dir() / "nand.img").substr(0, 2 * 64 * 2112) == boot_area);
  });
}

TEST_F(NandJobsTest, FailureAfterTheBootAreaWasErasedWritesItBack) {
  EXPECT_IN_FRESH_PROCESS({
    // Logical block 12 fails its program and no reserve block takes an erase.
    std::string faults = "[[nand]]\nkind = \"program-error\"\nblock = 12\n";
    for (int block = 1004; block < 1024; ++block) {
      faults += "[[nand]]\nkind = \"erase-error\"\nblock = " + std::to_string(block) + "\n";
    }
    Make(faults);
    const Bytes bootloader = Logical(0, 0x20000);
    const Bytes data = test::Pattern(0x800, 5);
    PutBin("across.bin", {.start = 0x20000,
                          .length = 0x161000,
                          .records = {{0x20000, data}, {0x180000, test::Pattern(0x800, 6)}}});
    EXPECT_EQ(Run({"across.bin"}), "Error writing to Flash!\n");
    // The boot area was erased whole: what it held outside the image is back, and what the
    // image put into it.
    EXPECT_TRUE(Logical(0, 0x20000) == bootloader);
    EXPECT_TRUE(Logical(0x20000, 0x800) == data);
  });
}

TEST_F(NandJobsTest, BootloaderImageLeavesACleanBootArea) {
  EXPECT_IN_FRESH_PROCESS({
    Make();
    const Bytes boot = test::Pattern(0x1000, 7);
    PutBin("boot.bin", {.start = 0, .length = 0x1000, .records = {{0, boot}}});
    EXPECT_EQ(Run({"boot.bin"}), "");
    Bytes expected(0x3F800, 0xFF);
    std::copy(boot.begin(), boot.end(), expected.begin());
    EXPECT_TRUE(Logical(0, 0x3F800) == expected);
  });
}

// A page the boot area's write-back should have filled but left erased reads as erased: the
// read-back compares it with what was meant to land, and the update fails.
TEST_F(NandJobsTest, BootAreaPageLeftErasedFailsTheReadBack) {
  EXPECT_IN_FRESH_PROCESS({
    Make();
    PutBin("boot.bin", {.start = 0, .length = 0x1000, .records = {{0, test::Pattern(0x1000, 8)}}});
    // A write that says it programmed page 1 (0x800) but did not.
    static const DWORD kLost = 0x800;
    std::string boxes = Run({"boot.bin"}, false, [] {
      FlashOps.WriteBuffer = [](const void* source, DWORD offset, DWORD count) {
        const BYTE* bytes = static_cast<const BYTE*>(source);
        if (offset > kLost || offset + count < kLost + 0x800) {
          return NandWriteBuffer(source, offset, count);
        }
        DWORD after = kLost + 0x800;
        return (kLost == offset || NandWriteBuffer(bytes, offset, kLost - offset)) &&
                       (offset + count == after ||
                        NandWriteBuffer(bytes + (after - offset), after, offset + count - after))
                   ? 1
                   : 0;
      };
    });
    EXPECT_EQ(boxes, "Error veryfing Flash!\n");
  });
}

TEST_F(NandJobsTest, RelocationThatFailedIsNotInTheMapOfTheNextJob) {
  EXPECT_IN_FRESH_PROCESS({
    // Logical block 17 fails its program; every reserve block fails its erase, so its
    // relocation fails and the table page records nothing.
    std::string faults = "[[nand]]\nkind = \"program-error\"\nblock = 17\n";
    for (int block = 1004; block < 1024; ++block) {
      faults += "[[nand]]\nkind = \"erase-error\"\nblock = " + std::to_string(block) + "\n";
    }
    Make(faults);
    const Bytes data = test::Pattern(0x1000, 9);
    PutBin("b17.bin", {.start = 0x220000, .length = 0x1000, .records = {{0x220000, data}}});
    EXPECT_EQ(Run({"b17.bin"}), "Error writing to Flash!\n");
    // The faults are gone; the next run in the same boot writes the block where the table
    // page, and so every later start, finds it.
    std::ofstream(Dir() / "faults.toml") << "";
    EXPECT_EQ(Run({"b17.bin"}), "");
    EXPECT_TRUE(Logical(0x220000, 0x1000) == data);
  });
}

TEST_F(NandJobsTest, FailedEraseOfPhysicalBlockOneHeals) {
  EXPECT_IN_FRESH_PROCESS({
    Make("[[nand]]\nkind = \"erase-error\"\nblock = 1\n");
    const Bytes boot = test::Pattern(0x1000, 11);
    PutBin("boot.bin", {.start = 0, .length = 0x1000, .records = {{0, boot}}});
    EXPECT_NE(Run({"boot.bin"}), "");
    // Logical block 1 has moved to the reserve; logical page 63 still lives in physical
    // block 1, which the next boot-area update erases again now that it can.
    std::ofstream(Dir() / "faults.toml") << "";
    EXPECT_EQ(Run({"boot.bin"}), "");
    Bytes expected(0x3F800, 0xFF);
    std::copy(boot.begin(), boot.end(), expected.begin());
    EXPECT_TRUE(Logical(0, 0x3F800) == expected);
  });
}

TEST_F(NandJobsTest, BitReadFlippedInTheTablePageIsNotWrittenBack) {
  EXPECT_IN_FRESH_PROCESS({
    // Logical block 17 moves to physical 1023 and a bootloader update rewrites the table page;
    // or eight blocks move, more appends than the spare area's CRC slots hold.
    for (int blocks : {1, 8}) {
      SCOPED_TRACE(blocks);
      std::filesystem::remove_all(Dir());
      std::string faults;
      for (int b = 17; b < 17 + blocks; ++b) {
        faults += "[[nand]]\nkind = \"program-error\"\nblock = " + std::to_string(b) + "\n";
      }
      Make(faults);
      const std::uint32_t length = 0x20000 * (blocks - 1) + 0x1000;
      // Each block's bytes differ from the next block's.
      Bytes data = test::Pattern(length, 13);
      for (std::uint32_t i = 0; i < length; ++i)
        data[i] = static_cast<std::uint8_t>(data[i] + (i >> 17));
      PutBin("b17.bin", {.start = 0x220000, .length = length, .records = {{0x220000, data}}});
      PutBin("boot.bin",
             {.start = 0, .length = 0x1000, .records = {{0, test::Pattern(0x1000, 14)}}});
      EXPECT_EQ(Run(blocks == 1 ? std::vector<std::string>{"b17.bin", "boot.bin"}
                                : std::vector<std::string>{"b17.bin"}),
                "");
      // After a restart the table page reads with entry 0's replacement 1023 flipped to 1022,
      // through the first start and the next bootloader update.
      auto restart = [&] {
        for (const auto& entry : std::filesystem::directory_iterator(Dir() / "ram")) {
          std::filesystem::remove_all(entry.path());
        }
      };
      restart();
      std::ofstream(Dir() / "faults.toml")
          << "[[nand]]\nkind = \"bit-flip\"\npage = 63\nbyte = 6\nbit = 0\n";
      EXPECT_EQ(Run({"boot.bin"}), "");
      // The flip is gone: every block still maps where its data is.
      std::ofstream(Dir() / "faults.toml") << "";
      restart();
      EXPECT_TRUE(Logical(0x220000, length) == data);
    }
  });
}

TEST_F(NandJobsTest, RecordsInOtherBlocksAndPastTheLengthAreWrittenInTheirOrder) {
  EXPECT_IN_FRESH_PROCESS({
    Make();
    const Bytes a = test::Pattern(0x800, 21), d = test::Pattern(0x800, 22),
                b = test::Pattern(0x800, 23);
    // The length ends in block 9; the second record lies past it in the same (erased) block,
    // the third goes back down to block 8.
    PutBin("down.bin", {.start = 0x100000,
                        .length = 0x20800,
                        .records = {{0x120000, a}, {0x130000, d}, {0x100000, b}}});
    EXPECT_EQ(Run({"down.bin"}), "");
    EXPECT_TRUE(Logical(0x120000, 0x800) == a);
    EXPECT_TRUE(Logical(0x130000, 0x800) == d);
    EXPECT_TRUE(Logical(0x100000, 0x800) == b);
    // A record below a page already programmed in its block is still refused.
    PutBin("back.bin",
           {.start = 0x100000, .length = 0x2000, .records = {{0x101000, a}, {0x100000, b}}});
    EXPECT_EQ(Run({"back.bin"}), "Records overlap or out of order!\n");
  });
}

// The 0xDCAD part is two dies, one a chip select; the whole reserve is on the second.
TEST_F(NandJobsTest, SecondChipSelectTakesDataAndRelocations) {
  EXPECT_IN_FRESH_PROCESS({
    Make(
        "[[nand]]\nkind = \"program-error\"\nblock = 10\n"
        "[[nand]]\nkind = \"program-error\"\nblock = 4100\n",
        0xDCAD);
    // Block 10 (on the first die) fails and moves to the top of the reserve, on the second.
    const Bytes low = test::Pattern(0x1000, 31);
    PutBin("low.bin", {.start = 0x140000, .length = 0x1000, .records = {{0x140000, low}}});
    // The first page of the second die, and its block 4100, which fails and moves too.
    const Bytes first = test::Pattern(0x800, 32), bad = test::Pattern(0x800, 33);
    PutBin("high.bin", {.start = 0x20000000,
                        .length = 0xA0000,
                        .records = {{0x20000000, first}, {0x20080000, bad}}});
    EXPECT_EQ(Run({"low.bin", "high.bin"}), "");
    EXPECT_TRUE(Logical(0x140000, 0x1000) == low);
    EXPECT_TRUE(Logical(0x20000000, 0x800) == first);
    EXPECT_TRUE(Logical(0x20080000, 0x800) == bad);
    // The table names both replacements, from the top of the second die down.
    WithView([](const host::NandLogicalView& view) {
      const std::vector<std::uint32_t> map = view.Map();
      EXPECT_EQ(map[10], 8191u);
      EXPECT_EQ(map[4100], 8190u);
    });
  });
}

}  // namespace
