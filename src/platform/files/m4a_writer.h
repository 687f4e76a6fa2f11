// M4aWriter: the MPEG-4 file of an AAC stream (.m4a, .mp4) written by us, so
// that its memory stays flat however long the recording: the packets go into
// the media data as they come, and each packet's size and duration go to an
// unnamed file beside it, from which the close builds the sample tables. The
// movie is laid out as FFmpeg's muxer lays it out (the edit list hides the
// encoder's priming, so a player starts and ends sample-exact).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/files/aac_encoding.h"

namespace orvane {

enum class M4aBrand { m4a, mp4 };

class M4aWriter final : public AacContainer {
 public:
  // Creates (or truncates) the file at `path` privately, as every output.
  static Result<std::unique_ptr<M4aWriter>> create(const std::string& path, const AacStream& stream, M4aBrand brand);
  ~M4aWriter() override;
  M4aWriter(const M4aWriter&) = delete;
  M4aWriter& operator=(const M4aWriter&) = delete;

  // The edit list hides the frames the first packet is stamped before frame 0.
  Status append(const AacPacket& packet) override;
  Status dropFrom(int64_t pts) override;
  Status sync() override;
  // Writes the movie (the sample tables) and the media data's size.
  Status close() override;

 private:
  struct Output;
  M4aWriter(std::string path, const AacStream& stream, M4aBrand brand, int fd, int tablesFd);
  Status writeMovie();
  Status readTables(const std::function<void(uint32_t size, uint32_t duration)>& visit);
  Error failure(int code, const std::string& what) const;

  const std::string path_;
  const AacStream stream_;
  const M4aBrand brand_;
  std::unique_ptr<Output> file_;    // the output
  std::unique_ptr<Output> tables_;  // each packet's size and duration, 8 bytes
  int64_t packets_ = 0;
  int64_t mediaBytes_ = 0;
  int64_t firstPts_ = 0;  // the first packet's stamp
  int64_t nextPts_ = 0;
  bool closed_ = false;
};

}  // namespace orvane
