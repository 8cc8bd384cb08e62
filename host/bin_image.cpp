#include "host/bin_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <numeric>
#include <stdexcept>
#include <utility>

#include "flash/flash_ops.h"
#include "host/hex.h"
#include "update/bin_format.h"

namespace host {

namespace {

std::string Num(std::uint64_t v) { return std::to_string(v); }

std::uint32_t Get32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

struct Span64 {
  std::uint64_t begin, end;  // [begin, end), end may pass 2^32
};

/// Pairs (later, earlier) by index of non-empty ranges that share a byte, sorted. Every range
/// that overlaps another is in at least one pair.
std::vector<std::pair<std::size_t, std::size_t>> FindOverlaps(const std::vector<Span64>& spans) {
  std::vector<std::size_t> order(spans.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return spans[a].begin < spans[b].begin; });
  std::vector<std::pair<std::size_t, std::size_t>> found;
  std::optional<std::size_t> reach;  // the range seen so far that ends last
  for (std::size_t i : order) {
    if (spans[i].end == spans[i].begin) continue;
    if (reach && spans[i].begin < spans[*reach].end) {
      found.emplace_back(std::max(i, *reach), std::min(i, *reach));
    }
    if (!reach || spans[i].end > spans[*reach].end) reach = i;
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string RangeText(std::uint64_t begin, std::uint64_t end) {
  return "[" + HexLower(begin) + ", " + HexLower(end) + ")";
}

std::string Printable(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (std::uint8_t b : bytes) {
    if (b >= 0x20 && b < 0x7F && b != '"' && b != '\\') {
      text += static_cast<char>(b);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", b);
      text += buf;
    }
  }
  return text;
}

}  // namespace

std::uint32_t ByteSum(std::span<const std::uint8_t> data) {
  std::uint32_t sum = 0;
  for (std::uint8_t b : data) sum += b;
  return sum;
}

BinPlacement PlaceBinImage(std::uint32_t start, std::optional<std::uint32_t> item5_base) {
  const std::uint32_t offset = ImageOffsetFor(start, item5_base.value_or(::kDefaultImageBase));
  switch (TranslationFor(start)) {
    case kTranslateToFlashZero:
      return {BinTranslation::kToFlashZero, offset};
    case kTranslateToImageBase:
      return {BinTranslation::kToImageBase, offset};
    default:
      return {BinTranslation::kNone, offset};
  }
}

// ---- Writer ----------------------------------------------------------------------------------

void BinWriter::Add(std::uint32_t address, std::span<const std::uint8_t> data, std::size_t chunk) {
  if (chunk == 0 || data.size() <= chunk) {
    records_.push_back({address, std::vector<std::uint8_t>(data.begin(), data.end())});
    return;
  }
  for (std::size_t done = 0; done < data.size(); done += chunk) {
    std::size_t take = std::min(chunk, data.size() - done);
    records_.push_back(
        {static_cast<std::uint32_t>(address + done),
         std::vector<std::uint8_t>(data.begin() + done, data.begin() + done + take)});
  }
}

std::uint64_t BinWriter::Extent() const {
  std::uint64_t last = start_;
  for (const BinRecordData& r : records_) {
    last = std::max(last, std::uint64_t{r.address} + r.data.size());
  }
  return last - start_;
}

std::uint32_t BinWriter::Length() const {
  return length_ ? *length_ : static_cast<std::uint32_t>(Extent());
}

std::vector<std::string> BinWriter::Check(bool allow_overlap) const {
  std::vector<std::string> reasons;
  const std::uint64_t image_end = std::uint64_t{start_} + (length_ ? *length_ : Extent());
  if (image_end - start_ > 0xFFFFFFFFu) {
    reasons.push_back("the records reach " + HexLower(image_end) + ", " +
                      HexLower(image_end - start_) +
                      " bytes from the start: more than a 32-bit length can hold");
  } else if (image_end == start_) {
    reasons.push_back("the image would be empty: its length is 0");
  }
  std::vector<Span64> spans;
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const BinRecordData& r = records_[i];
    const std::uint64_t end = std::uint64_t{r.address} + r.data.size();
    spans.push_back({r.address, end});
    std::string name = "record " + Num(i) + " " + RangeText(r.address, end);
    if (r.data.size() > 0xFFFFFFFFu) {
      reasons.push_back(name + " holds more than 0xffffffff bytes");
    }
    if (end > 0x100000000u) {
      reasons.push_back(name + " runs past address 0xffffffff");
    } else if (!r.data.empty() && (r.address < start_ || end > image_end)) {
      reasons.push_back(name + " is outside the image " + RangeText(start_, image_end));
    }
    if (r.address == 0 && ByteSum(r.data) == 0) {
      reasons.push_back(name +
                        " has address 0 and checksum 0: the updater would read it as the end "
                        "record and stop there");
    }
  }
  if (!allow_overlap) {
    for (auto [later, earlier] : FindOverlaps(spans)) {
      reasons.push_back("record " + Num(later) + " " +
                        RangeText(spans[later].begin, spans[later].end) + " overlaps record " +
                        Num(earlier) + " " + RangeText(spans[earlier].begin, spans[earlier].end));
    }
  }
  return reasons;
}

std::vector<std::uint8_t> BinWriter::Build(const BinDefects& defects) const {
  std::vector<std::uint8_t> out;
  std::size_t total = kBinHeaderSize + kBinRecordHeaderSize;
  for (const BinRecordData& r : records_) total += kBinRecordHeaderSize + r.data.size();
  out.reserve(total);
  for (std::size_t i = 0; i < kBinSignatureSize; ++i) {
    out.push_back(static_cast<std::uint8_t>(kBinSignature[i]));
  }
  if (defects.bad_signature) out[5] = 'E';
  Put32(out, start_);
  Put32(out, Length());
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const BinRecordData& r = records_[i];
    std::uint32_t sum = ByteSum(r.data);
    if (defects.bad_checksum_record == i) ++sum;
    Put32(out, r.address);
    Put32(out, static_cast<std::uint32_t>(r.data.size()));
    Put32(out, sum);
    out.insert(out.end(), r.data.begin(), r.data.end());
  }
  if (!defects.no_end_record) {
    Put32(out, 0);
    Put32(out, defects.end_record_length ? defects.end_record_length : entry_);
    Put32(out, 0);
  }
  if (defects.truncate_to && *defects.truncate_to < out.size()) out.resize(*defects.truncate_to);
  return out;
}

// ---- Reader ----------------------------------------------------------------------------------

std::span<const std::uint8_t> BinImage::data(std::size_t index) const {
  const BinRecord& r = records.at(index);
  return std::span<const std::uint8_t>(bytes).subspan(r.header_at + kBinRecordHeaderSize,
                                                      r.present);
}

bool BinImage::HasErrors() const {
  return std::any_of(problems.begin(), problems.end(),
                     [](const BinProblem& p) { return p.severity == BinSeverity::kError; });
}

namespace {

constexpr const char* kRefused = "the updater refuses it (Not a WinCE Binary Image file!)";
constexpr const char* kEndOfFile =
    "the updater refuses the file before it erases anything (Unexpected end of file!)";
constexpr const char* kOutsideErased =
    "the updater writes it where it lands in a block the image's range erases, and refuses "
    "the file before it erases anything where it does not (Record outside the image range!)";
constexpr const char* kOutside =
    "the updater refuses the file before it erases anything (Record outside the image range!)";
constexpr const char* kOverlapping =
    "the updater refuses the file before it erases anything (Records overlap or out of order!)";

std::string RecordName(std::size_t index, const BinRecord& r) {
  return "record " + Num(index) + " at " + HexLower(r.address);
}

void ReadRecords(BinImage& image) {
  const std::vector<std::uint8_t>& b = image.bytes;
  auto add = [&](BinProblemKind kind, std::size_t record, std::string text) {
    image.problems.push_back({kind, BinSeverity::kError, record, std::move(text)});
  };
  std::uint64_t at = kBinHeaderSize;
  while (true) {
    const std::uint64_t left = b.size() - at;
    if (left == 0) {
      add(BinProblemKind::kNoEndRecord, kNoRecord,
          "no end record: the file ends after " +
              (image.records.empty() ? std::string("the header")
                                     : "record " + Num(image.records.size() - 1)) +
              ", where a record header should start; " + kEndOfFile +
              ". SRecord writes the end record from its input's execution start address "
              "(srec_cat ... -o FILE -MsBin); imbrel-bin make writes one always");
      return;
    }
    if (left < kBinRecordHeaderSize) {
      add(BinProblemKind::kRecordHeaderCut, image.records.size(),
          "the file ends inside the header of record " + Num(image.records.size()) +
              " (file offset " + HexLower(at) + "), after " + Num(left) + " of 12 bytes; " +
              kEndOfFile);
      return;
    }
    BinRecord r{};
    r.address = Get32(&b[at]);
    r.length = Get32(&b[at + 4]);
    r.checksum = Get32(&b[at + 8]);
    r.header_at = at;
    at += kBinRecordHeaderSize;
    if (r.address == 0 && r.checksum == 0) {
      image.end_record = r;
      image.bytes_after_end = b.size() - at;
      return;
    }
    r.present = std::min<std::uint64_t>(r.length, b.size() - at);
    r.computed = ByteSum(std::span<const std::uint8_t>(b).subspan(at, r.present));
    at += r.present;
    const std::size_t index = image.records.size();
    image.records.push_back(r);
    if (!r.complete()) {
      add(BinProblemKind::kRecordDataCut, index,
          RecordName(index, r) + ": the file ends inside its data, after " + Num(r.present) +
              " of " + Num(r.length) + " bytes (" + Num(r.length - r.present) + " missing); " +
              kEndOfFile);
      return;
    }
    if (r.computed != r.checksum) {
      add(BinProblemKind::kChecksumMismatch, index,
          RecordName(index, r) + ": stored checksum " + HexLower(r.checksum) +
              " but its data sums to " + HexLower(r.computed) +
              "; the updater refuses the file before it erases anything (BAD CRC)");
    }
  }
}

void CheckLayout(BinImage& image) {
  auto add = [&](BinProblemKind kind, BinSeverity severity, std::size_t record, std::string text) {
    image.problems.push_back({kind, severity, record, std::move(text)});
  };
  if (image.end_record && image.end_record->length != 0) {
    add(BinProblemKind::kEndRecordLength, BinSeverity::kNote, kNoRecord,
        "the end record's length gives the entry point " + HexLower(image.end_record->length) +
            ", as SRecord and Platform Builder write it; the updater does not use it");
  }
  if (image.bytes_after_end) {
    add(BinProblemKind::kDataAfterEndRecord, BinSeverity::kNote, kNoRecord,
        Num(image.bytes_after_end) + " bytes follow the end record; the updater never reads them");
  }

  const std::uint64_t image_begin = image.start;
  const std::uint64_t image_end = image_begin + image.length;
  std::vector<Span64> spans;
  for (std::size_t i = 0; i < image.records.size(); ++i) {
    const BinRecord& r = image.records[i];
    spans.push_back({r.address, r.end()});
    if (r.length != 0 && (r.address < image_begin || r.end() > image_end)) {
      add(BinProblemKind::kOutsideImage,
          image.length == 0 ? BinSeverity::kError : BinSeverity::kWarning, i,
          RecordName(i, r) + " + " + HexLower(r.length) + " is not inside the image " +
              RangeText(image_begin, image_end) + "; " + kOutsideErased);
    }
  }
  for (std::size_t i = 1; i < image.records.size(); ++i) {
    if (image.records[i].address < image.records[i - 1].address) {
      add(BinProblemKind::kNotAscending, BinSeverity::kNote, i,
          "the records are not in ascending address order: " + RecordName(i, image.records[i]) +
              " follows " + RecordName(i - 1, image.records[i - 1]) +
              "; on NAND, from flash offset 0x40000 up, the updater refuses a record that comes "
              "back to a page it has programmed or below one in the same block (Records "
              "overlap or out of order!); --module checks it");
      break;
    }
  }
  for (auto [later, earlier] : FindOverlaps(spans)) {
    const BinRecord& a = image.records[later];
    const BinRecord& b = image.records[earlier];
    add(BinProblemKind::kOverlap, BinSeverity::kError, later,
        "record " + Num(later) + " " + RangeText(a.address, a.end()) + " overlaps record " +
            Num(earlier) + " " + RangeText(b.address, b.end()) +
            "; the updater refuses the file before it erases anything (Records overlap or out "
            "of order!)");
  }
}

}  // namespace

BinImage ReadBinImage(std::vector<std::uint8_t> bytes) {
  BinImage image;
  image.bytes = std::move(bytes);
  const std::vector<std::uint8_t>& b = image.bytes;
  const std::size_t signature_present = std::min(b.size(), kBinSignatureSize);
  // An empty file has no bytes to compare, and its data() may be null: memcmp must not see it.
  if (signature_present != 0 && std::memcmp(b.data(), kBinSignature, signature_present) != 0) {
    image.problems.push_back(
        {BinProblemKind::kBadSignature, BinSeverity::kError, kNoRecord,
         "the file does not start with the signature B000FF\\n but with \"" +
             Printable(std::span<const std::uint8_t>(b).first(signature_present)) + "\"; " +
             kRefused});
    return image;
  }
  if (b.size() < kBinHeaderSize) {
    image.signature_ok = b.size() >= kBinSignatureSize;
    image.problems.push_back({BinProblemKind::kHeaderCut, BinSeverity::kError, kNoRecord,
                              "the file ends inside the header, after " + Num(b.size()) +
                                  " of 15 bytes; " + kEndOfFile});
    return image;
  }
  image.signature_ok = true;
  image.header_complete = true;
  image.start = Get32(&b[7]);
  image.length = Get32(&b[11]);
  ReadRecords(image);
  CheckLayout(image);
  return image;
}

BinImage ReadBinFile(const std::filesystem::path& path) {
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) {
    throw std::runtime_error(path.string() + ": is a directory");
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error(path.string() + ": cannot be read");
  std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
  if (in.bad()) throw std::runtime_error(path.string() + ": cannot be read");
  return ReadBinImage(std::move(bytes));
}

std::vector<BinProblem> CheckBinPlacement(const BinImage& image, std::uint32_t offset,
                                          std::uint64_t flash_size) {
  std::vector<BinProblem> problems;
  auto lands = [&](std::uint32_t address) -> std::uint64_t {
    return static_cast<std::uint32_t>(address + offset);
  };
  const std::string flash = "the flash [0, " + HexLower(flash_size) + ")";
  for (std::size_t i = 0; i < image.records.size(); ++i) {
    const BinRecord& r = image.records[i];
    const std::uint64_t at = lands(r.address);
    if (r.length != 0 && at + r.length > flash_size) {
      problems.push_back({BinProblemKind::kOutsideFlash, BinSeverity::kError, i,
                          RecordName(i, r) + " lands at flash " + RangeText(at, at + r.length) +
                              ", not inside " + flash + "; " + kOutside});
    }
  }
  if (image.header_complete) {
    // The driver refuses a range that ends past the flash even when it is empty: an image of
    // length 0 whose start lands past the flash's end fails its erase too.
    const std::uint64_t at = lands(image.start);
    if (at + image.length > flash_size) {
      problems.push_back({BinProblemKind::kEraseOutsideFlash, BinSeverity::kError, kNoRecord,
                          "the erased range " + RangeText(at, at + image.length) +
                              " is not inside " + flash + "; the erase fails"});
    }
  }
  return problems;
}

std::vector<BinProblem> CheckBinRecordPlaces(const BinImage& image, std::uint32_t offset,
                                             const std::vector<BinProblem>& known) {
  if (!image.header_complete || FlashOps.DriverKind == kDriverNone) return {};
  const std::uint32_t image_start = image.start + offset;
  DWORD erase_start = 0, erase_length = 0;
  ImageEraseRange(image_start, image.length, &erase_start, &erase_length);
  std::vector<BinProblem> problems;
  if (!BeginRecordPlaces(erase_start, erase_length)) {
    problems.push_back({BinProblemKind::kPlacesUnchecked, BinSeverity::kError, kNoRecord,
                        "the updater cannot get the memory to follow the pages it programs; it "
                        "refuses the file before it erases anything (Records overlap or out of "
                        "order!)"});
  }
  for (std::size_t i = 0; problems.empty() && i < image.records.size(); ++i) {
    const BinRecord& r = image.records[i];
    const std::uint64_t at = static_cast<std::uint32_t>(r.address + offset);
    const std::string lands = RecordName(i, r) + " lands at flash " + RangeText(at, at + r.length);
    switch (CheckRecordPlace(static_cast<DWORD>(at), r.length, 1)) {
      case kRecordPlaceOk:
        break;
      case kRecordOutsideErase:
        problems.push_back({BinProblemKind::kOutsideErase, BinSeverity::kError, i,
                            lands + ", not inside the blocks that the erase of " +
                                RangeText(erase_start, std::uint64_t{erase_start} + erase_length) +
                                " takes, or not inside the flash; " + kOutside});
        break;
      case kRecordOverlaps:
        problems.push_back({BinProblemKind::kOverlap, BinSeverity::kError, i,
                            lands + ", over a record before it; " + kOverlapping});
        break;
      case kRecordPageTaken:
        problems.push_back(
            {BinProblemKind::kPageTaken, BinSeverity::kError, i,
             lands +
                 ", on a NAND page that the update has programmed already or below one it has "
                 "programmed in the same block (each page is programmed once, a block's pages "
                 "in ascending order); " +
                 kOverlapping});
        break;
      case kRecordNoMemory:
        problems.push_back(
            {BinProblemKind::kPlacesUnchecked, BinSeverity::kError, i,
             lands + ": the updater cannot get the memory to check it; " + kOverlapping});
        break;
    }
  }
  EndRecordPlaces();
  if (!problems.empty() && problems[0].record != kNoRecord &&
      std::any_of(known.begin(), known.end(), [&](const BinProblem& p) {
        return p.severity == BinSeverity::kError && p.record == problems[0].record;
      })) {
    problems.clear();
  }
  return problems;
}

}  // namespace host
