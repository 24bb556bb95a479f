// A 16 kHz mono 16-bit WAV file written as the samples arrive, so that a
// long recording never has to be held in memory: the RIFF sizes are filled
// in when the file is finished.
#pragma once

#include <cstdint>
#include <cstdio>
#include <expected>
#include <memory>
#include <span>
#include <string>

#include "base/error_text.h"

namespace tavikrec {

class WavFile {
 public:
  // Creates (or truncates) path and writes a header with sizes still zero.
  static std::expected<WavFile, ErrorText> create(const std::string& path);

  std::expected<void, ErrorText> append(std::span<const std::int16_t> samples);

  // Fills in the sizes and closes the file. REQUIRES: called once, last.
  std::expected<void, ErrorText> finish();

 private:
  struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
  };
  WavFile(std::string path, std::unique_ptr<std::FILE, FileCloser> file);
  std::expected<void, ErrorText> failure(const std::string& what) const;

  std::string path_;
  std::unique_ptr<std::FILE, FileCloser> file_;
  std::uint64_t data_bytes_ = 0;
};

}  // namespace tavikrec
