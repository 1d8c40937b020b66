#include "tools/modem-sim/exchange.h"

#include "simbus/bus_wire.h"

namespace modemsim {
namespace {

constexpr uint8_t MARK = 'V';
constexpr uint8_t KIND_MARKS[] = {'Q', 'R', 'X'};

uint8_t Key(uint32_t sequence) {
  return static_cast<uint8_t>(0xA5 ^ sequence ^ (sequence >> 8));
}

}  // namespace

uint32_t Crc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

std::vector<uint8_t> Payload(uint32_t seed, uint32_t sequence, uint32_t length) {
  std::vector<uint8_t> bytes(length);
  uint32_t state = seed * 2654435761u ^ sequence * 40503u ^ 0x9E3779B9u;
  for (uint32_t i = 0; i < length; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    bytes[i] = static_cast<uint8_t>(state);
  }
  return bytes;
}

std::vector<uint8_t> EncodeFrame(const Frame& frame) {
  simbus::WireWriter w;
  w.U8(MARK);
  w.U8(KIND_MARKS[static_cast<int>(frame.kind)]);
  w.U32(frame.sequence);
  w.U32(static_cast<uint32_t>(frame.payload.size()));
  w.Raw(frame.payload.data(), frame.payload.size());
  w.U32(Crc32(w.bytes.data(), w.bytes.size()));
  return w.bytes;
}

Frame ReplyTo(const Frame& request) {
  Frame reply{FrameKind::Reply, request.sequence, request.payload};
  for (uint8_t& byte : reply.payload) byte ^= Key(request.sequence);
  return reply;
}

void FrameParser::Feed(const uint8_t* data, size_t size) {
  buffer_.insert(buffer_.end(), data, data + size);
}

bool FrameParser::Next(Frame* frame, bool* damaged) {
  if (lost_ || buffer_.size() < FRAME_OVERHEAD) return false;
  uint8_t head[10];
  for (int i = 0; i < 10; ++i) head[i] = buffer_[static_cast<size_t>(i)];
  simbus::WireReader in(head, sizeof head);
  const uint8_t mark = in.U8();
  const uint8_t kindMark = in.U8();
  const uint32_t sequence = in.U32();
  const uint32_t length = in.U32();
  int kind = -1;
  for (int k = 0; k < 3; ++k) kind = kindMark == KIND_MARKS[k] ? k : kind;
  if (mark != MARK || kind < 0 || length > FRAME_PAYLOAD_LIMIT) {
    lost_ = true;
    return false;
  }
  if (buffer_.size() < FRAME_OVERHEAD + length) return false;
  std::vector<uint8_t> whole(buffer_.begin(), buffer_.begin() + FRAME_OVERHEAD + length);
  buffer_.erase(buffer_.begin(), buffer_.begin() + FRAME_OVERHEAD + length);
  simbus::WireReader tail(whole.data() + 10 + length, 4);
  *damaged = tail.U32() != Crc32(whole.data(), 10 + length);
  frame->kind = static_cast<FrameKind>(kind);
  frame->sequence = sequence;
  frame->payload.assign(whole.begin() + 10, whole.begin() + 10 + length);
  return true;
}

}  // namespace modemsim
