// The PXA3xx data flash controller (DFC) as the PXA3xx developer manual describes it: control,
// timing and status registers, the three-word command buffer, the data FIFO and the Hamming ECC,
// in front of one or two NAND chips on its chip selects.
// Does not model: DMA, interrupts (the mask bits are storage), the NDBDR bad-block registers'
// scan, ONFI/page-sizes beyond 512 and 2048, the static memory controller's arbitration, the
// NDCB0 LEN_OVRD/NC/extended command fields, cycle-exact NAND bus timing (tCS, tCH, tAR).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/hardware/model_links.h"
#include "host/hardware/nand_chip.h"
#include "host/hardware/physical_bus.h"

namespace host {

constexpr std::uint64_t kDfcPhysicalBase = 0x43100000;
constexpr std::uint64_t kDfcWindowBytes = 0x1000;

// NDSR bits: set by the controller, cleared by writing ones.
constexpr std::uint32_t kNdsrWrCmdReq = 0x001;
constexpr std::uint32_t kNdsrRdDReq = 0x002;
constexpr std::uint32_t kNdsrWrDReq = 0x004;
constexpr std::uint32_t kNdsrSbErr = 0x008;
constexpr std::uint32_t kNdsrDbErr = 0x010;
constexpr std::uint32_t kNdsrCs1Bbd = 0x020;
constexpr std::uint32_t kNdsrCs0Bbd = 0x040;
constexpr std::uint32_t kNdsrCs1CmdD = 0x080;
constexpr std::uint32_t kNdsrCs0CmdD = 0x100;
constexpr std::uint32_t kNdsrCs1PageD = 0x200;
constexpr std::uint32_t kNdsrCs0PageD = 0x400;
constexpr std::uint32_t kNdsrRdy = 0x800;

// NDCR bits.
constexpr std::uint32_t kNdcrSpareEn = 0x80000000;
constexpr std::uint32_t kNdcrEccEn = 0x40000000;
constexpr std::uint32_t kNdcrNdRun = 0x10000000;
constexpr std::uint32_t kNdcrDwidthC = 0x08000000;
constexpr std::uint32_t kNdcrDwidthM = 0x04000000;
constexpr std::uint32_t kNdcrPageSz = 0x01000000;
constexpr std::uint32_t kNdcrRdIdCntShift = 16;

/// Where a large page's ECC bytes start in its spare area: 6 bytes for each 512-byte step.
constexpr std::uint32_t kDfcEccSpareOffset = 40;
/// The Hamming code of one 512-byte step: 6 bytes as the controller stores them.
void DfcEccCompute(const std::uint8_t* data, std::uint8_t ecc[6]);
enum class DfcEccResult { kClean, kCorrected, kUncorrectable };
/// Checks `data` against `stored` and corrects a single flipped bit in place.
DfcEccResult DfcEccCorrect(std::uint8_t* data, const std::uint8_t stored[6]);

/// The controller clock in MHz for a processor part number: 156 for part 8, 312 for part 9,
/// 104 for any other.
std::uint32_t DfcClockMhz(std::uint32_t part_number);

struct DfcTiming {
  std::uint32_t access_ns = 100;  // one register access
  std::uint32_t clock_mhz = 104;  // the controller clock: NDTR fields count it
  bool follow_cpu = false;        // the clock is the one of the CPU's part (a module's controller)
  std::uint64_t never_ready_quantum_ns = 0;  // clock step per status read of a stuck command
};

/// The control and timing registers, which keep their values from one program to the next.
struct DfcSettings {
  std::uint32_t ndcr;
  std::uint32_t ndtr0;
  std::uint32_t ndtr1;
};

class Pxa3xxDfc : public BusDevice {
 public:
  enum class State {
    kIdle,          // ND_RUN clear: nothing under way
    kCommandWords,  // ND_RUN set: taking the three command-buffer words
    kReadWait,      // command sent; the chip's bytes reach the FIFO at event_at_
    kReadData,      // RDDREQ: software empties the FIFO
    kWriteData,     // WRDREQ: software fills the FIFO
    kChipBusy,      // data or command sent; the chip finishes at event_at_
    kStuck,         // chip select with no chip: the command never completes
  };

  /// `chips[i]` sits on chip select i; a null or missing entry is an empty chip select.
  /// `links`: what the module gives the controller (model_links.h).
  Pxa3xxDfc(std::vector<NandChip*> chips, const DfcTiming& timing, const ModelLinks& links = {});

  std::string Name() const override { return "PXA3xx data flash controller"; }
  std::uint32_t AccessNs() const override { return timing_.access_ns; }
  std::uint32_t Read32(std::uint32_t offset) override;
  void Write32(std::uint32_t offset, std::uint32_t value) override;
  /// The data port (NDDB) emptied or filled a word at a time as single accesses would.
  void ReadRepeat32(void* destination, std::uint32_t offset, std::uint32_t count,
                    std::uint32_t access_ns) override;
  void WriteRepeat32(std::uint32_t offset, const void* source, std::uint32_t count,
                     std::uint32_t access_ns) override;

  State state() const { return state_; }
  /// Keeps NDCR, NDTR0 and NDTR1 in `settings` (not owned; the module's ram/, shared by its
  /// processes) from now on.
  void KeepSettingsIn(DfcSettings* settings) {
    settings_ = settings;
    settings_->ndcr &= ~kNdcrNdRun;
  }
  const DfcTiming& timing() const { return timing_; }

 private:
  struct Register {
    std::uint32_t offset;
    const char* name;
    std::uint32_t (Pxa3xxDfc::*read)();
    void (Pxa3xxDfc::*write)(std::uint32_t);
  };
  static const Register kRegisters[];

  std::uint32_t ReadNdcr();
  void WriteNdcr(std::uint32_t value);
  std::uint32_t ReadNdtr0() { return settings_->ndtr0; }
  void WriteNdtr0(std::uint32_t value) { settings_->ndtr0 = value & 0x003F3F3F; }
  std::uint32_t ReadNdtr1() { return settings_->ndtr1; }
  void WriteNdtr1(std::uint32_t value) { settings_->ndtr1 = value & 0xFFFF00FF; }
  std::uint32_t ReadNdsr();
  void WriteNdsr(std::uint32_t value);
  std::uint32_t ReadNdpcr() { return ndpcr_; }
  void WriteNdpcr(std::uint32_t value) { ndpcr_ = value; }
  std::uint32_t ReadNdbdr0() { return ndbdr_[0]; }
  void WriteNdbdr0(std::uint32_t value) { ndbdr_[0] = value; }
  std::uint32_t ReadNdbdr1() { return ndbdr_[1]; }
  void WriteNdbdr1(std::uint32_t value) { ndbdr_[1] = value; }
  std::uint32_t ReadNddb();
  void WriteNddb(std::uint32_t value);
  std::uint32_t ReadNdcb0() { return ndcb_[0]; }
  void WriteNdcb0(std::uint32_t value);
  std::uint32_t ReadNdcb1() { return ndcb_[1]; }
  void WriteNdcb1(std::uint32_t value) { ndcb_[1] = value; }
  std::uint32_t ReadNdcb2() { return ndcb_[2]; }
  void WriteNdcb2(std::uint32_t value) { ndcb_[2] = value; }

  /// Applies every change of state due by now.
  void Update(std::uint64_t now);
  void StartCommand(std::uint64_t now);
  void SendCommandAndAddress(NandChip& chip, std::uint32_t cycles, bool second_command,
                             std::uint64_t at);
  void FillFifo();
  void ProgramFifo(std::uint64_t now);
  void Finish();
  std::uint32_t PageBytes() const;
  std::uint32_t ChipSpareBytes() const;
  std::uint32_t HostSpareBytes() const;
  std::uint32_t EccOffset() const;
  std::uint64_t Cycles(std::uint64_t cycles) const;
  std::uint64_t ReadCycleNs(std::uint32_t bytes) const;
  std::uint64_t WriteCycleNs(std::uint32_t bytes) const;
  /// When a program or erase that became ready at `ready` is done (its automatic status read).
  std::uint64_t AfterAutoStatus(std::uint64_t ready) const;
  /// Checks NDTR0's strobes against the chip's minimums (read_short_, write_short_).
  void CheckStrobes();
  /// Flips bits in about one byte in `one_in` of `bytes`, as a transfer with strobes too short.
  void Corrupt(std::uint8_t* bytes, std::uint32_t count, std::uint32_t one_in);

  std::vector<NandChip*> chips_;
  DfcTiming timing_;
  ModelLinks links_;
  std::uint32_t clock_mhz_ = 104;  // the clock of the command under way
  State state_ = State::kIdle;
  // The settings live in the controller, not in a program: every process of the module sees
  // the values the last one wrote, until a restart resets the controller.
  DfcSettings own_settings_{};
  DfcSettings* settings_ = &own_settings_;  // NDCR's ND_RUN follows state_
  std::uint32_t ndsr_ = 0;
  std::uint32_t ndsr_shown_ = 0;  // what the last read of NDSR returned
  std::uint32_t ndpcr_ = 0;
  std::uint32_t ndbdr_[2] = {};
  std::uint32_t ndcb_[3] = {};
  std::uint32_t words_taken_ = 0;  // command-buffer words since ND_RUN was set

  // The command under way.
  NandChip* chip_ = nullptr;
  int chip_select_ = 0;
  std::uint32_t type_ = 0;
  std::uint32_t control_ = 0;        // NDCR as the command started
  std::uint64_t event_at_ = 0;       // next change of state (kNever: none will come)
  std::uint64_t ready_at_ = kNever;  // the chip's R/B# rises: RDY (kNever: not awaited)
  std::uint32_t chip_bytes_ = 0;     // bytes the chip transfers
  std::vector<std::uint8_t> fifo_;
  std::uint32_t fifo_at_ = 0;      // next byte software reads or writes
  std::uint32_t fifo_size_ = 0;    // bytes software reads or writes
  bool early_ = false;             // the read samples the chip before it is ready
  bool read_short_ = false;        // NDTR0's read strobes are shorter than the chip takes
  bool write_short_ = false;       // NDTR0's write strobes are shorter than the chip takes
  std::uint32_t noted_ndtr0_ = 0;  // the last NDTR0 noted as too short, not to note it again
  std::uint64_t noise_ = 0x5EED;   // what a bad transfer puts on the bus
};

}  // namespace host
