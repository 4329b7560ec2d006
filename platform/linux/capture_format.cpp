#include "linux/capture_format.h"

#include <algorithm>
#include <cstring>

namespace platform::linuxhost {

bool SplitCaptureBuffer(const std::uint8_t* data, std::size_t size, std::vector<FrameSpan>* frames, std::string* why) {
  frames->clear();
  std::size_t offset = 0;
  while (offset < size) {
    if (size - offset < sizeof(npf::bpf_hdr)) {
      *why = "truncated header at offset " + std::to_string(offset);
      frames->clear();
      return false;
    }
    npf::bpf_hdr header;
    std::memcpy(&header, data + offset, sizeof header);
    if (header.bh_hdrlen < sizeof(npf::bpf_hdr)) {
      *why = "header length " + std::to_string(header.bh_hdrlen) + " below 20 at offset " + std::to_string(offset);
      frames->clear();
      return false;
    }
    std::size_t room = size - offset;
    if (header.bh_hdrlen > room || header.bh_caplen > room - header.bh_hdrlen) {
      *why = "frame of " + std::to_string(header.bh_caplen) + " bytes runs past the end at offset " +
             std::to_string(offset);
      frames->clear();
      return false;
    }
    std::size_t end = offset + header.bh_hdrlen + header.bh_caplen;
    frames->push_back({offset + header.bh_hdrlen, header.bh_caplen});
    // The padding after the last frame may be left out.
    offset = end >= size ? size : npf::Packet_WORDALIGN(end);
  }
  return true;
}

void WriteCaptureHeader(std::uint8_t* at, std::int64_t seconds, std::int64_t microseconds, std::uint32_t capturedLength,
                        std::uint32_t wireLength) {
  npf::bpf_hdr header{};
  header.bh_tstamp.tv_sec = static_cast<std::int32_t>(seconds);
  header.bh_tstamp.tv_usec = static_cast<std::int32_t>(microseconds);
  header.bh_caplen = capturedLength;
  header.bh_datalen = wireLength;
  header.bh_hdrlen = sizeof(npf::bpf_hdr);
  std::memcpy(at, &header, sizeof header);
}

void CaptureQueue::Append(std::int64_t seconds, std::int64_t microseconds, std::uint32_t wireLength,
                          const std::uint8_t* data, std::size_t captured) {
  const std::size_t room = CaptureRoomOf(captured);
  if (bytes_.size() - end_ < room) {
    // Reuse what reads have emptied before growing.
    if (begin_ != 0) {
      std::memmove(bytes_.data(), bytes_.data() + begin_, end_ - begin_);
      end_ -= begin_;
      begin_ = 0;
    }
    if (bytes_.size() - end_ < room) bytes_.resize(std::max(bytes_.size() * 2, end_ + room));
  }
  std::uint8_t* at = bytes_.data() + end_;
  WriteCaptureHeader(at, seconds, microseconds, static_cast<std::uint32_t>(captured), wireLength);
  std::memcpy(at + sizeof(npf::bpf_hdr), data, captured);
  std::memset(at + sizeof(npf::bpf_hdr) + captured, 0, room - sizeof(npf::bpf_hdr) - captured);
  end_ += room;
}

std::size_t CaptureQueue::Take(std::uint8_t* out, std::size_t size) {
  std::size_t used = 0;
  std::size_t at = begin_;
  while (at < end_ && used < size) {
    npf::bpf_hdr header;
    std::memcpy(&header, bytes_.data() + at, sizeof header);
    const std::size_t whole = sizeof header + header.bh_caplen;
    const std::size_t room = size - used;
    if (room < whole) {
      if (used != 0 || room <= sizeof header) break;  // it waits for the next read
      header.bh_caplen = static_cast<std::uint32_t>(room - sizeof header);
      std::memcpy(out, &header, sizeof header);
      std::memcpy(out + sizeof header, bytes_.data() + at + sizeof header, header.bh_caplen);
      begin_ = at + CaptureRoomOf(whole - sizeof header);
      return size;
    }
    used += std::min(CaptureRoomOf(header.bh_caplen), room);
    at += CaptureRoomOf(header.bh_caplen);
  }
  std::memcpy(out, bytes_.data() + begin_, used);
  begin_ = at;
  if (begin_ == end_) Clear();
  return used;
}

}  // namespace platform::linuxhost
