// The BIN image reader on arbitrary bytes, as `imbrel-bin info` uses it: read, place with and
// without configuration item 5, check the placement in a few flash sizes. Then what the reader
// says must hold together: every record's data is where it says and sums to what it says, and
// an image the reader took apart builds back, through the writer, into the same records.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "fuzz_support.h"
#include "host/bin_image.h"

namespace {

void CheckRecords(const host::BinImage& image) {
  std::uint64_t at = host::kBinHeaderSize;
  for (std::size_t i = 0; i < image.records.size(); ++i) {
    const host::BinRecord& r = image.records[i];
    if (r.header_at != at) fuzz::Finding("a record header is not where the last record ended");
    std::span<const std::uint8_t> data = image.data(i);
    if (data.size() != r.present || r.present > r.length) {
      fuzz::Finding("a record's data span does not match its present bytes");
    }
    if (host::ByteSum(data) != r.computed) fuzz::Finding("a record's computed sum is wrong");
    if (data.data() + data.size() > image.bytes.data() + image.bytes.size()) {
      fuzz::Finding("a record's data runs past the file");
    }
    at = r.header_at + host::kBinRecordHeaderSize + r.present;
  }
  if (image.end_record && image.end_record->header_at != at) {
    fuzz::Finding("the end record is not where the last record ended");
  }
  if (image.end_record &&
      image.end_record->header_at + host::kBinRecordHeaderSize + image.bytes_after_end !=
          image.bytes.size()) {
    fuzz::Finding("the bytes after the end record do not add up to the file");
  }
}

// The records of a complete image, written again by the writer with sound checksums.
void CheckRoundTrip(const host::BinImage& image) {
  if (!image.header_complete || !image.end_record) return;
  host::BinWriter writer(image.start);
  writer.SetLength(image.length);
  bool reads_as_end = false;
  for (std::size_t i = 0; i < image.records.size(); ++i) {
    writer.Add(image.records[i].address, image.data(i));
    if (image.records[i].address == 0 && image.records[i].computed == 0) reads_as_end = true;
  }
  std::vector<std::string> reasons = writer.Check(true);
  if (writer.Length() != image.length) fuzz::Finding("the writer does not keep the length set");
  if (reads_as_end) {
    // A record whose rewritten checksum would be 0 at address 0 reads as the end record: the
    // writer's check must say so.
    bool said = false;
    for (const std::string& reason : reasons) {
      said = said || reason.find("end record") != std::string::npos;
    }
    if (!said) fuzz::Finding("the writer's check misses a record that reads as the end record");
    return;
  }
  host::BinImage again = host::ReadBinImage(writer.Build());
  if (again.start != image.start || again.length != image.length ||
      again.records.size() != image.records.size() || !again.end_record) {
    fuzz::Finding("a rebuilt image reads back with another header or record count");
  }
  for (std::size_t i = 0; i < image.records.size(); ++i) {
    const host::BinRecord& a = image.records[i];
    const host::BinRecord& b = again.records[i];
    if (a.address != b.address || a.length != b.length || a.computed != b.computed ||
        !b.checksum_ok()) {
      fuzz::Finding("a rebuilt record reads back differently");
    }
  }
  for (const host::BinProblem& p : again.problems) {
    // Where the records lie is the image's own; what the file is made of, the writer's.
    if (p.kind == host::BinProblemKind::kOutsideImage || p.kind == host::BinProblemKind::kOverlap)
      continue;
    if (p.severity == host::BinSeverity::kError) {
      fuzz::Finding("a rebuilt image of complete records has an error");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  host::BinImage image = host::ReadBinImage(std::vector<std::uint8_t>(data, data + size));
  if (image.bytes.size() != size) fuzz::Finding("the reader lost bytes of the file");
  CheckRecords(image);
  if (image.header_complete) {
    for (std::optional<std::uint32_t> item5 : {std::optional<std::uint32_t>{}, {0x40000u}}) {
      host::BinPlacement placement = host::PlaceBinImage(image.start, item5);
      for (std::uint64_t flash_size : {0x80000ull, 0x4000000ull, 0x100000000ull}) {
        for (const host::BinProblem& p :
             host::CheckBinPlacement(image, placement.offset, flash_size)) {
          if (p.text.empty()) fuzz::Finding("a placement problem without words");
        }
      }
    }
  }
  for (const host::BinProblem& p : image.problems) {
    if (p.text.empty()) fuzz::Finding("a problem without words");
    if (p.record != host::kNoRecord && p.record > image.records.size()) {
      fuzz::Finding("a problem names a record that is not there");
    }
  }
  CheckRoundTrip(image);
  return 0;
}
