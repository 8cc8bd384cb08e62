// Windows CE BIN image files on the host: a writer that builds them (valid ones, and broken
// ones for tests) and a reader that takes a file apart and says, in words, what is wrong with it.
//
// The file: the 7-byte signature "B000FF\n", the image start and length (32-bit little-endian),
// then records of {address, length, checksum} each followed by `length` data bytes, ending with
// a record whose address and checksum are both 0. The checksum is the ByteSum of the data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace host {

inline constexpr char kBinSignature[] = "B000FF\n";  // 7 bytes, no terminator in the file
inline constexpr std::size_t kBinSignatureSize = 7;
inline constexpr std::size_t kBinHeaderSize = 15;        // signature, start, length
inline constexpr std::size_t kBinRecordHeaderSize = 12;  // address, length, checksum

/// The sum of the bytes as unsigned values in a 32-bit accumulator that wraps.
std::uint32_t ByteSum(std::span<const std::uint8_t> data);

// ---- Placement: where the updater puts an image in the flash --------------------------------

enum class BinTranslation {
  kToFlashZero,  // start in 0xBCA00000..0xBFFFFFFE: the image's start lands at flash 0
  kToImageBase,  // start in 0x80000000..0x9C9FFFFF or 0xA0000000..0xBC9FFFFF: lands at the base
  kNone,         // any other start: the addresses are flash offsets already
};

struct BinPlacement {
  BinTranslation translation;
  std::uint32_t offset;  // added to every address, modulo 2^32
};

/// The updater's address translation for an image starting at `start` (the program's own
/// TranslationFor and ImageOffsetFor). `item5_base` is word 0 of configuration item 5 when the
/// module answers it; nullopt uses the program's kDefaultImageBase.
BinPlacement PlaceBinImage(std::uint32_t start, std::optional<std::uint32_t> item5_base);

// ---- Writer ----------------------------------------------------------------------------------

/// Deliberate faults for tests. Record indexes count records as written (after splitting).
struct BinDefects {
  std::optional<std::size_t> bad_checksum_record;  // store the ByteSum + 1 in this record
  std::optional<std::size_t> truncate_to;          // keep only this many bytes of the file
  bool no_end_record = false;                      // the file stops after the last record
  std::uint32_t end_record_length = 0;  // length field of the end record (else the entry)
  bool bad_signature = false;           // "B000FE\n" instead of "B000FF\n"
};

struct BinRecordData {
  std::uint32_t address;
  std::vector<std::uint8_t> data;
};

/// Builds an image from records kept in the order they are added.
class BinWriter {
 public:
  explicit BinWriter(std::uint32_t start) : start_(start) {}

  /// Adds `data` at `address` as one record when `chunk` is 0, else as consecutive records of
  /// at most `chunk` bytes. Empty data adds one record of length 0.
  void Add(std::uint32_t address, std::span<const std::uint8_t> data, std::size_t chunk = 0);
  /// Sets the header's length; without it the length is the extent.
  void SetLength(std::uint32_t length) { length_ = length; }
  /// The entry point, which the end record's length field carries (as SRecord writes it;
  /// the updater does not read it). 0 by default.
  void SetEntry(std::uint32_t entry) { entry_ = entry; }

  std::uint32_t start() const { return start_; }
  const std::vector<BinRecordData>& records() const { return records_; }
  /// From the start to the end of the record that ends last (0 when every record ends at or
  /// below the start). Can exceed 32 bits when a record runs past 0xFFFFFFFF.
  std::uint64_t Extent() const;
  /// The header's length: the one set, else the extent (modulo 2^32).
  std::uint32_t Length() const;

  /// Reasons the image would not be a sound update, one sentence each, empty when it is: an
  /// image of length 0, a record below the start or past start + length, a record past
  /// 0xFFFFFFFF, a record that would read as the end record (address 0 and ByteSum 0), and,
  /// unless `allow_overlap`, records that overlap.
  std::vector<std::string> Check(bool allow_overlap) const;

  /// The file's bytes, with the defects asked for.
  std::vector<std::uint8_t> Build(const BinDefects& defects = {}) const;

 private:
  std::uint32_t start_;
  std::optional<std::uint32_t> length_;
  std::uint32_t entry_ = 0;
  std::vector<BinRecordData> records_;
};

// ---- Reader ----------------------------------------------------------------------------------

enum class BinSeverity {
  kError,    // the updater refuses the file or fails on it
  kWarning,  // the updater goes on, but the result is probably not what was meant
  kNote,     // harmless: the updater ignores it
};

enum class BinProblemKind {
  kBadSignature,        // error: refused before anything is read
  kHeaderCut,           // error: the file ends inside the 15-byte header
  kRecordHeaderCut,     // error: the file ends inside a record header
  kRecordDataCut,       // error: the file ends inside a record's data
  kNoEndRecord,         // error: the file ends where a record header should start
  kChecksumMismatch,    // error: a record's stored checksum is not the ByteSum of its data
  kOutsideFlash,        // error: a record would land outside the flash
  kOutsideImage,        // warning: a record lies outside [start, start + length), where it is
                        // written only inside the blocks that range erases (error: length 0)
  kOverlap,             // error: a record overlaps an earlier one
  kEraseOutsideFlash,   // error: the erased range runs outside the flash
  kOutsideErase,        // error: a record lands outside the blocks the update erases
  kPageTaken,           // error: on NAND, a record lands on a page the update has programmed
                        // already, or below one in the same block
  kPlacesUnchecked,     // error: the updater cannot get the memory to check the records
  kNotAscending,        // note: records are not in ascending address order
  kEndRecordLength,     // note: the end record gives an entry point (never examined)
  kDataAfterEndRecord,  // note: bytes after the end record (never read)
};

inline constexpr std::size_t kNoRecord = static_cast<std::size_t>(-1);

struct BinProblem {
  BinProblemKind kind;
  BinSeverity severity;
  std::size_t record;  // index of the record it is about, or kNoRecord
  std::string text;    // one sentence, no trailing newline
};

struct BinRecord {
  std::uint32_t address;
  std::uint32_t length;     // as stored
  std::uint32_t checksum;   // as stored
  std::uint32_t computed;   // ByteSum of the data bytes present in the file
  std::uint64_t header_at;  // file offset of the record header
  std::uint64_t present;    // data bytes present (less than length when the file is cut short)
  bool complete() const { return present == length; }
  bool checksum_ok() const { return complete() && computed == checksum; }
  std::uint64_t end() const { return std::uint64_t{address} + length; }
};

struct BinImage {
  std::vector<std::uint8_t> bytes;  // the whole file
  bool signature_ok = false;
  bool header_complete = false;
  std::uint32_t start = 0;
  std::uint32_t length = 0;
  std::vector<BinRecord> records;  // ordinary records, in file order
  std::optional<BinRecord> end_record;
  std::uint64_t bytes_after_end = 0;
  std::vector<BinProblem> problems;  // in the order found: file structure, then layout

  /// The data bytes of record `index` that are present in the file.
  std::span<const std::uint8_t> data(std::size_t index) const;
  bool HasErrors() const;
};

/// Takes a file's bytes apart as the updater reads them, then looks at the layout. A bad
/// signature stops the reading (the updater reads nothing more); a cut stops it where the
/// file ends. Checksum mismatches are reported for every record, though the updater stops at
/// the first.
BinImage ReadBinImage(std::vector<std::uint8_t> bytes);

/// Reads the file at `path`; throws std::runtime_error naming it when it cannot be read.
BinImage ReadBinFile(const std::filesystem::path& path);

/// The flash problems of placing `image` with `offset` into a flash of `flash_size` bytes:
/// records whose landing range leaves [0, flash_size), and an erased range that does.
std::vector<BinProblem> CheckBinPlacement(const BinImage& image, std::uint32_t offset,
                                          std::uint64_t flash_size);

/// The updater's own check of where the records land, run over `image` placed with `offset`
/// on the module whose flash driver is selected (FlashOps): records in file order, as the
/// updater reads them before it erases anything, up to the first it refuses. The problem of
/// that record; none when it refuses none, when no driver is selected, or when `known` holds
/// an error about that record already.
std::vector<BinProblem> CheckBinRecordPlaces(const BinImage& image, std::uint32_t offset,
                                             const std::vector<BinProblem>& known);

}  // namespace host
