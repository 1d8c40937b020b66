#pragma once
// The data a simulated modem exchanges with the acquirer peer through the
// gateway, made so that every byte can be checked at both ends:
//   request  "VQ", u32 sequence, u32 length, payload, u32 CRC-32
//   reply    "VR", u32 sequence, u32 length, payload XOR key(sequence), u32 CRC-32
//   refusal  "VX", u32 sequence, u32 0, u32 CRC-32 (the request arrived damaged)
// The CRC covers everything before it; fields are little-endian. The
// payload is a pseudo-random function of (seed, sequence), so a modem knows
// the reply it must get back without keeping what it sent.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace modemsim {

constexpr uint32_t FRAME_OVERHEAD = 14;
constexpr uint32_t FRAME_PAYLOAD_LIMIT = 1u << 20;

enum class FrameKind : uint8_t { Request, Reply, Refusal };

struct Frame {
  FrameKind kind;
  uint32_t sequence;
  std::vector<uint8_t> payload;
};

uint32_t Crc32(const uint8_t* data, size_t size);
std::vector<uint8_t> Payload(uint32_t seed, uint32_t sequence, uint32_t length);
std::vector<uint8_t> EncodeFrame(const Frame& frame);
// The reply the acquirer makes to a request.
Frame ReplyTo(const Frame& request);

// Cuts a byte stream into frames. A damaged frame (bad CRC) comes out with
// `damaged` set; a stream that no longer makes sense (unknown mark, length
// past the limit) stops the parser for good.
class FrameParser {
 public:
  void Feed(const uint8_t* data, size_t size);
  // The next whole frame; false when none is complete yet.
  bool Next(Frame* frame, bool* damaged);
  bool Lost() const { return lost_; }
  size_t Buffered() const { return buffer_.size(); }

 private:
  std::deque<uint8_t> buffer_;
  bool lost_ = false;
};

}  // namespace modemsim
