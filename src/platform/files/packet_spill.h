// PacketSpill: encoded packets parked in an unnamed file beside the output
// until the packets before them have been written. The file has no name from
// the start, so neither a failure nor a crash leaves it behind.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/files/aac_encoding.h"

namespace orvane {

class PacketSpill {
 public:
  // An empty spill in the directory of `outputPath`, on the output's disk.
  static Result<std::unique_ptr<PacketSpill>> create(const std::string& outputPath);
  ~PacketSpill();
  PacketSpill(const PacketSpill&) = delete;
  PacketSpill& operator=(const PacketSpill&) = delete;

  Status append(const AacPacket& packet);
  // Hands every packet to `sink` in the order appended; stops at the first error.
  Status replay(const AacPacketSink& sink);
  // Drops the packets from the first one stamped `pts` or later on; appends
  // go on after the ones before it.
  Status dropFrom(int64_t pts);

 private:
  PacketSpill(int fd, std::string outputPath);
  Status writeBuffered();
  // Reads every packet back in order, with the offset of its record, until `visit` says stop.
  Status walk(const std::function<bool(const AacPacket&, int64_t offset)>& visit);
  // `block` holds `buffered` bytes read ahead, the next at `position`.
  Status readExactly(std::vector<uint8_t>& block, void* into, size_t bytes, size_t& buffered, size_t& position);
  Error failure(int code, const std::string& what) const;

  int fd_;
  std::string outputPath_;
  std::vector<uint8_t> buffer_;  // appended, not yet written
};

}  // namespace orvane
