// The line framer, the output sieve and the ready test on arbitrary runtime output, cut into
// arbitrary chunks.
//
// An input is a chunking plan followed by the output stream:
//
//   byte 0        bits 0-3: how many chunk sizes follow (k); bits 4-5: how many long runs
//                 (r), when bits 6-7 are both set, otherwise none
//   k bytes       chunk sizes, used in turn: 0x00..0xDF is that many bytes (0 is an empty
//                 append), 0xE0..0xFF is (byte - 0xDF) x 64 KiB; with k = 0, one chunk.
//                 After kMaxAppends appends the rest is one chunk, so the work of an input
//                 stays bounded; the large sizes reach far into a long stream.
//   r x 4 bytes   long runs put into the stream: where (2 bytes, little endian, modulo the
//                 stream's length + 1), how long (kMaxLine - 128 + the byte), the fill byte
//                 (a line feed stands for a space: a run is one long line, not a million
//                 empty ones)
//   the rest      the stream
//
// The long runs let a small input hold lines on either side of the framer's bound. They make
// an input thousands of times slower, so they are rare among random headers.
//
// Properties:
// - framing in the planned chunks and framing the whole stream at once give the lines and
//   the unfinished line of a plain split at line feeds that drops every line longer than
//   kMaxLine, and the same ready URLs;
// - after every append the held line is at most kMaxLine bytes, its buffer at most twice
//   that (memory stays bounded);
// - every ready URL starts with "http:", lies within its line, and is a ready line itself;
// - sifting in the planned chunks keeps exactly the lines that pass the candidate test,
//   each with its line feed, notes as many drops as the plain split has over-long lines,
//   and leaves out only lines on which neither readyURL nor whyNotReady acts.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "check.h"
#include "runtime/line_framer.h"
#include "runtime/output_sieve.h"
#include "runtime/ready_url.h"

using namespace zolven;

namespace {

using runtime::LineFramer;
using runtime::readyURL;

constexpr size_t kMaxAppends = 4096;

struct Plan {
  std::vector<size_t> chunkSizes;
  std::string stream;
};

size_t chunkSize(uint8_t code) {
  if (code < 0xE0) return code;
  return (code - 0xDFu) * 64 * 1024;
}

Plan readPlan(std::string_view input) {
  Plan plan;
  if (input.empty()) return plan;
  const auto take = [&input] {
    const auto byte = static_cast<uint8_t>(input.front());
    input.remove_prefix(1);
    return byte;
  };
  const uint8_t header = take();
  for (size_t sizes = header & 0x0F; sizes > 0 && !input.empty(); --sizes) {
    plan.chunkSizes.push_back(chunkSize(take()));
  }
  struct Run {
    size_t where;
    size_t length;
    char fill;
  };
  std::vector<Run> runs;
  const size_t longRuns = (header & 0xC0) == 0xC0 ? (header >> 4) & 0x03 : 0;
  for (size_t count = longRuns; count > 0 && input.size() >= 4; --count) {
    const size_t low = take();
    const size_t where = low | (size_t{take()} << 8);
    const size_t length = LineFramer::kMaxLine - 128 + take();
    const char fill = static_cast<char>(take());
    runs.push_back({where, length, fill == '\n' ? ' ' : fill});
  }
  plan.stream.assign(input);
  for (const Run& run : runs) {
    plan.stream.insert(run.where % (plan.stream.size() + 1), run.length, run.fill);
  }
  return plan;
}

// What framing gave: the lines, the ready test of each line as the launcher runs it (on the
// view the framer hands out, while it is valid), and the unfinished line at the end.
struct Framed {
  std::vector<std::string> lines;
  std::vector<std::optional<std::string>> urls;
  std::string pending;
};

void append(LineFramer& framer, std::string_view chunk, Framed& out) {
  framer.append(chunk, [&out](std::string_view line) {
    out.lines.emplace_back(line);
    out.urls.push_back(readyURL(line));
  });
  FUZZ_CHECK(framer.pending().size() <= LineFramer::kMaxLine);
  FUZZ_CHECK(framer.pending().capacity() <= 2 * LineFramer::kMaxLine);
}

Framed frameWhole(std::string_view stream) {
  LineFramer framer;
  Framed out;
  append(framer, stream, out);
  out.pending = framer.pending();
  return out;
}

Framed frameInChunks(std::string_view stream, const std::vector<size_t>& sizes) {
  LineFramer framer;
  Framed out;
  for (size_t appends = 0; !stream.empty(); ++appends) {
    const size_t size =
        sizes.empty() || appends + 1 >= kMaxAppends ? stream.size() : sizes[appends % sizes.size()];
    const std::string_view chunk = stream.substr(0, size);
    stream.remove_prefix(chunk.size());
    append(framer, chunk, out);
  }
  out.pending = framer.pending();
  return out;
}

// The framer's contract stated plainly: split at every line feed, keep the lines of at most
// kMaxLine bytes; the bytes after the last line feed are the unfinished line, held only while
// they are within the bound. (The ready test is left to the framings, once each.)
Framed frameByReference(std::string_view stream) {
  Framed out;
  for (size_t feed = stream.find('\n'); feed != std::string_view::npos; feed = stream.find('\n')) {
    const std::string_view line = stream.substr(0, feed);
    if (line.size() <= LineFramer::kMaxLine) out.lines.emplace_back(line);
    stream.remove_prefix(feed + 1);
  }
  if (stream.size() <= LineFramer::kMaxLine) out.pending = stream;
  return out;
}

// The sieve in the planned chunks: what it keeps, and how many drops it notes.
runtime::SiftedOutput siftInChunks(std::string_view stream, const std::vector<size_t>& sizes) {
  runtime::OutputSieve sieve;
  runtime::SiftedOutput out;
  for (size_t appends = 0; !stream.empty(); ++appends) {
    const size_t size =
        sizes.empty() || appends + 1 >= kMaxAppends ? stream.size() : sizes[appends % sizes.size()];
    const std::string_view chunk = stream.substr(0, size);
    stream.remove_prefix(chunk.size());
    sieve.append(chunk, out);
    FUZZ_CHECK(sieve.pending().size() <= LineFramer::kMaxLine);
  }
  return out;
}

size_t overLongLines(std::string_view stream) {
  size_t count = 0;
  for (size_t feed = stream.find('\n'); feed != std::string_view::npos; feed = stream.find('\n')) {
    if (feed > LineFramer::kMaxLine) ++count;
    stream.remove_prefix(feed + 1);
  }
  return count + (stream.size() > LineFramer::kMaxLine ? 1 : 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Plan plan = readPlan(std::string_view(reinterpret_cast<const char*>(data), size));

  const Framed expected = frameByReference(plan.stream);
  const Framed whole = frameWhole(plan.stream);
  const Framed chunked = frameInChunks(plan.stream, plan.chunkSizes);

  FUZZ_CHECK(whole.lines == expected.lines);
  FUZZ_CHECK(whole.pending == expected.pending);
  FUZZ_CHECK(chunked.lines == expected.lines);
  FUZZ_CHECK(chunked.pending == expected.pending);
  FUZZ_CHECK(chunked.urls == whole.urls);

  for (size_t i = 0; i < whole.lines.size(); ++i) {
    const auto& url = whole.urls[i];
    if (!url) continue;
    FUZZ_CHECK(url->starts_with("http:"));
    FUZZ_CHECK(whole.lines[i].find(*url) != std::string::npos);
    FUZZ_CHECK(readyURL(*url) == url);
  }

  const runtime::SiftedOutput sifted = siftInChunks(plan.stream, plan.chunkSizes);
  std::string kept;
  for (const std::string& line : expected.lines) {
    if (runtime::isCandidateLine(line)) {
      kept += line;
      kept += '\n';
    } else {
      FUZZ_CHECK(!readyURL(line) && !runtime::whyNotReady(line));
    }
  }
  FUZZ_CHECK(sifted.lines == kept);
  FUZZ_CHECK(sifted.dropped.size() == overLongLines(plan.stream));
  for (size_t i = 0; i < sifted.dropped.size(); ++i) {
    FUZZ_CHECK(sifted.dropped[i] <= sifted.lines.size());
    FUZZ_CHECK(i == 0 || sifted.dropped[i - 1] <= sifted.dropped[i]);
  }
  return 0;
}
