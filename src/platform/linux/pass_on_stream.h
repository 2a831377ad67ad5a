#pragma once

#include <cstddef>
#include <string_view>

#include "platform/files.h"

namespace zolven::platform {

// A descriptor this process was given (not owned), written as PassOnStream promises: a
// regular file directly; anything else through a descriptor of our own on the same pipe or
// terminal, opened non-blocking (a new open file description, so the inherited one keeps
// its flags); a socket (the journal's, under systemd) with non-blocking sends; anything
// else that cannot be opened so with writeWithoutWaiting().
class DescriptorStream final : public PassOnStream {
 public:
  explicit DescriptorStream(int fd);  // -1: the stream goes nowhere
  ~DescriptorStream() override;
  DescriptorStream(const DescriptorStream&) = delete;
  DescriptorStream& operator=(const DescriptorStream&) = delete;

  void write(std::string_view data) override;
  // A pipe takes up to PIPE_BUF bytes in one write or none of them, and an empty pipe as
  // many as it holds; anything else that is not a regular file takes up to PIPE_BUF bytes
  // once poll found room. More than that is dropped.
  bool writeWhole(std::string_view lines) override;

 private:
  enum class Mode { Nowhere, Direct, OwnDescriptor, Socket, Polled };
  bool takesWhole(size_t size) const;
  Mode mode_ = Mode::Nowhere;
  bool pipe_ = false;
  int fd_ = -1;
};

// Writes what `fd` takes of `data` now, without waiting and without changing the
// descriptor's flags: each write is at most PIPE_BUF bytes and follows a poll that found
// room. Returns the byte count written; the rest is the caller's to drop.
size_t writeWithoutWaiting(int fd, std::string_view data);

}  // namespace zolven::platform
