// Kernel-mode calls, physical mappings and processor identification against the platform
// layer and the virtual processor. The once-only platform query is process-wide, so the tests
// that watch it run in a child process of their own.

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "ce/kernel.h"
#include "host/hardware/virtual_clock.h"
#include "host/hardware/virtual_cpu.h"
#include "host/oal/platform_layer.h"
#include "host/system/virtual_memory.h"
#include "module_fixture.h"
#include "platform/cpu_registers.h"
#include "platform/kernel_call.h"
#include "platform/mmio.h"
#include "platform/physical_map.h"

namespace {

struct MapRecord {
  ULONG_PTR subfunction, destination, page_number, size, protection;
};

std::vector<MapRecord> MapCalls() {
  std::vector<MapRecord> out;
  for (const host::KernelIoCall& call : host::KernelIoCalls()) {
    if (call.code == KernelCall && call.FirstWord() == KernelCallMap) {
      MapRecord r;
      EXPECT_EQ(call.input.size(), sizeof r);
      std::memcpy(&r, call.input.data(), sizeof r);
      out.push_back(r);
    }
  }
  return out;
}

std::vector<ULONG_PTR> KernelCallKinds() {
  std::vector<ULONG_PTR> kinds;
  for (const host::KernelIoCall& call : host::KernelIoCalls()) {
    if (call.code == KernelCall) kinds.push_back(call.FirstWord());
  }
  return kinds;
}

class PlatformTest : public test::ModuleTest {
 protected:
  void SetUp() override { Open(); }
};

TEST_F(PlatformTest, FirstUserModeMappingQueriesThePlatformOnce) {
  EXPECT_IN_FRESH_PROCESS({
    host::ClearKernelIoCalls();
    void* a = MapPhysicalWindow(0);
    void* b = MapPhysicalWindow(0x1000);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    std::vector<ULONG_PTR> expected = {KernelCallQuery, KernelCallMap, KernelCallMap};
    EXPECT_EQ(KernelCallKinds(), expected);
    const host::KernelIoCall query = host::KernelIoCalls()[0];
    EXPECT_EQ(query.output_size, 200u);
    EXPECT_TRUE(query.has_bytes_returned);
  });
}

TEST_F(PlatformTest, FailedQueryStillMaps) {
  EXPECT_IN_FRESH_PROCESS({
    host::FailKernelIoControl(KernelCall, 1);
    EXPECT_NE(MapPhysicalWindow(0), nullptr);
    EXPECT_NE(MapPhysicalWindow(0), nullptr);
    EXPECT_EQ(KernelCallKinds().size(), 3u);
  });
}

TEST_F(PlatformTest, PrivilegedModeMapsAndIdentifiesWithoutControlCalls) {
  EXPECT_IN_FRESH_PROCESS({
    host::SetCpuMode(host::kCpuModeSystem);
    host::ClearKernelIoCalls();
    EXPECT_NE(IsPrivilegedMode(), 0);
    EXPECT_EQ(GetCpuPartNumber(), 17u);
    BYTE* window = static_cast<BYTE*>(MapPhysicalWindow(0));
    ASSERT_NE(window, nullptr);
    EXPECT_NE(MapPhysicalRange(0, 0x80000), nullptr);
    EXPECT_TRUE(host::KernelIoCalls().empty());
    EXPECT_EQ(host::PhysicalMappings().size(), 2u);
  });
}

TEST_F(PlatformTest, UserModeReadsThePartNumberInKernelMode) {
  EXPECT_EQ(IsPrivilegedMode(), 0);
  host::ClearKernelIoCalls();
  EXPECT_EQ(GetCpuPartNumber(), 17u);
  ASSERT_EQ(KernelCallKinds(), std::vector<ULONG_PTR>{KernelCallRoutine});
  EXPECT_EQ(host::CpuMode(), host::kCpuModeUser);  // restored after the call
  EXPECT_EQ(host::KernelIoCalls()[0].input.size(), sizeof(KernelCallRoutineInput));
  EXPECT_FALSE(host::KernelIoCalls()[0].has_bytes_returned);

  host::FailKernelIoControl(KernelCall, 1);
  EXPECT_EQ(GetCpuPartNumber(), 0u);
  EXPECT_EQ(RunInKernelMode(nullptr, nullptr), 0u);
  EXPECT_EQ(KernelCallKinds().size(), 2u);  // the null routine made no call
}

TEST_F(PlatformTest, PartNumbersOfTheKnownProcessors) {
  for (DWORD part : {17u, 8u, 9u, 0u}) {
    host::SetCpuMainId(host::MainIdForPartNumber(part));
    EXPECT_EQ(GetCpuPartNumber(), part);
  }
  EXPECT_EQ(host::MainIdForPartNumber(17), 0x69054117u);
}

TEST(PlatformDeathTest, PrivilegedRegisterInUserModeIsALoudError) {
  EXPECT_DEATH(ReadMainId(), "ReadMainId reads a privileged processor register in user mode");
  EXPECT_EQ(ReadCpsr() & 0x1F, 0x10u);
}

TEST_F(PlatformTest, WindowMapsTheTwoPagesAroundTheAddress) {
  struct Case {
    DWORD physical;
    ULONG_PTR page_number;
    ULONG_PTR offset_in_window;
  };
  const Case cases[] = {
      {0x43100000, 0x431000, 0}, {0x1006, 0x10, 4}, {0x43100FFF, 0x431000, 0xFFC}};
  for (const Case& c : cases) {
    host::ClearKernelIoCalls();
    BYTE* p = static_cast<BYTE*>(MapPhysicalWindow(c.physical));
    ASSERT_NE(p, nullptr);
    std::vector<MapRecord> maps = MapCalls();
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].page_number, c.page_number);
    EXPECT_EQ(maps[0].size, 0x2000u);
    EXPECT_EQ(maps[0].protection, 0x604u);
    EXPECT_EQ(reinterpret_cast<ULONG_PTR>(p) - maps[0].destination, c.offset_in_window);
    UnmapPhysical(p);
  }
}

TEST_F(PlatformTest, LargeRangesAreMappedIn32MBPieces) {
  host::ClearKernelIoCalls();
  BYTE* p = static_cast<BYTE*>(MapPhysicalRange(0, 0x4000000));
  ASSERT_NE(p, nullptr);
  std::vector<MapRecord> maps = MapCalls();
  ASSERT_EQ(maps.size(), 2u);
  EXPECT_EQ(maps[0].destination, reinterpret_cast<ULONG_PTR>(p));
  EXPECT_EQ(maps[0].page_number, 0u);
  EXPECT_EQ(maps[0].size, 0x2000000u);
  EXPECT_EQ(maps[1].destination, reinterpret_cast<ULONG_PTR>(p) + 0x2000000);
  EXPECT_EQ(maps[1].page_number, 0x2000000u >> 8);
  EXPECT_EQ(maps[1].size, 0x2000000u);

  host::ClearKernelIoCalls();
  BYTE* q = static_cast<BYTE*>(MapPhysicalRange(0x10, 0x1000000));
  ASSERT_NE(q, nullptr);
  maps = MapCalls();
  ASSERT_EQ(maps.size(), 1u);
  EXPECT_EQ(maps[0].size, 0x1001000u);  // the in-page offset adds a page
  EXPECT_EQ(reinterpret_cast<ULONG_PTR>(q) - maps[0].destination, 0x10u);
  EXPECT_EQ(MapPhysicalRange(0, 0), nullptr);
}

TEST_F(PlatformTest, FailedMappingReleasesItsReservation) {
  std::size_t before = host::ReservationCount();
  // The second 32 MB piece fails: the whole range is given back.
  MapPhysicalWindow(0);  // past the first-mapping query
  std::size_t after_window = host::ReservationCount();
  ASSERT_EQ(after_window, before + 1);
  host::ClearKernelIoCalls();
  host::FailVirtualAlloc(1);
  EXPECT_EQ(MapPhysicalRange(0, 0x4000000), nullptr);
  host::FailKernelIoControl(KernelCall, 1);
  EXPECT_EQ(MapPhysicalWindow(0), nullptr);
  EXPECT_EQ(host::ReservationCount(), after_window);
}

TEST_F(PlatformTest, MappedFlashReadsThroughTheBus) {
  test::PokeImage(dir_ / "module", 0x1000, {0x78, 0x56, 0x34, 0x12});
  BYTE* p = static_cast<BYTE*>(MapPhysicalRange(0x1000, 0x1000));
  ASSERT_NE(p, nullptr);
  std::uint64_t before = host::ClockNow();
  EXPECT_EQ(MmioRead32(p), 0x12345678u);
  EXPECT_EQ(host::ClockNow() - before, module().nor()->AccessNs());
  UnmapPhysical(p);
}

// A thread's bus time joins the shared clock in batches; a tick it has seen is never ahead of
// what another thread reads.
TEST_F(PlatformTest, ATickSeenByOneThreadIsTheClockForEveryThread) {
  host::ClockReset(5 * host::kNsPerMs - 500);
  host::ClockChargeAccess(1000);  // pending, below the batch size
  const DWORD seen = GetTickCount();
  EXPECT_EQ(seen, 5u);
  std::uint64_t elsewhere = 0;
  std::thread([&] { elsewhere = host::ClockNow(); }).join();
  EXPECT_GE(elsewhere, std::uint64_t{seen} * host::kNsPerMs);
  EXPECT_EQ(GetTickCount(), seen);
}

TEST_F(PlatformTest, UserModeVirtualCopyOfPhysicalMemoryIsRefused) {
  void* region = VirtualAlloc(nullptr, 0x1000, MEM_RESERVE, PAGE_NOACCESS);
  ASSERT_NE(region, nullptr);
  EXPECT_FALSE(VirtualCopy(region, nullptr, 0x1000, 0x604));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(VirtualFree(region, 0, MEM_RELEASE));
}

TEST_F(PlatformTest, AccessOutsideEveryMappingIsALoudError) {
  BYTE* p = static_cast<BYTE*>(MapPhysicalWindow(0x43100000));  // no device there
  ASSERT_NE(p, nullptr);
  EXPECT_DEATH(MmioRead32(p), "no device answers its physical address");
  void* region = VirtualAlloc(nullptr, 0x1000, MEM_RESERVE, PAGE_NOACCESS);
  EXPECT_DEATH(MmioWrite32(region, 0), "no physical mapping shows this address");
}

}  // namespace
