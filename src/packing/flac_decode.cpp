// Decoding a FLAC track back into the bytes it restores, checked against its tags.
#include <FLAC/format.h>
#include <FLAC/stream_decoder.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <system_error>
#include <thread>

#include "packing/flac_internal.h"
#include "packing/flac_tracks.h"

namespace quarnel {

namespace flac {

namespace {

constexpr size_t DECODE_BUFFER = size_t{1} << 20;
constexpr size_t MAX_FLAC_BLOCK_FRAMES = 65535;  // the largest block size a FLAC frame may have

using Clock = std::chrono::steady_clock;

struct DecoderDeleter {
  void operator()(FLAC__StreamDecoder* d) const { FLAC__stream_decoder_delete(d); }
};

// MD5 and SHA-1 of the restored bytes, computed on a thread of their own while the next piece
// decodes: together they cost about half as much as the decoding itself.
class Hasher {
 public:
  Hasher() {
    try {
      thread_ = std::thread(&Hasher::Run, this);
    } catch (const std::system_error&) {
      // No thread: Submit hashes in the caller's.
    }
  }
  ~Hasher() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  Hasher(const Hasher&) = delete;
  Hasher& operator=(const Hasher&) = delete;

  // Hashes `size` bytes at `data` into both digests; they must stay unchanged until the next
  // Submit or Wait returns.
  void Submit(const uint8_t* data, size_t size) {
    if (!thread_.joinable()) return Hash(data, size);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return data_ == nullptr; });
    data_ = data;
    size_ = size;
    changed_.notify_all();
  }
  // Waits until every submitted byte is hashed; the digests are the caller's again after.
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return data_ == nullptr; });
  }

  Checksums sums;  // MD5 and SHA-1 only

 private:
  void Hash(const uint8_t* data, size_t size) {
    sums.UpdatePart(MD5_PART, data, size);
    sums.UpdatePart(SHA1_PART, data, size);
  }
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      changed_.wait(lock, [this] { return data_ != nullptr || quit_; });
      if (data_ == nullptr) return;
      lock.unlock();
      Hash(data_, size_);
      lock.lock();
      data_ = nullptr;
      changed_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  const uint8_t* data_ = nullptr;  // guarded by mutex_: the piece being hashed
  size_t size_ = 0;
  bool quit_ = false;
  std::thread thread_;
};

struct DecodeState {
  FILE* file = nullptr;
  const std::function<bool(const uint8_t*, size_t)>* sink = nullptr;
  const std::function<bool()>* poll = nullptr;
  Clock::time_point lastPoll{};  // long ago: the first read polls
  uint64_t expected = 0;         // bytes of whole frames the tags promise
  uint64_t done = 0;             // bytes decoded so far
  // Two buffers: one fills while the hasher reads the other.
  std::vector<uint8_t> buffers[2];
  int current = 0;
  size_t fill = 0;
  std::string fault;  // the first reason to give up; empty while all is well
  bool stopped = false;
  Hasher hasher;

  bool Poll() {
    if (!*poll) return true;
    const auto now = Clock::now();
    if (now - lastPoll < POLL_INTERVAL) return true;
    lastPoll = now;
    if (!(*poll)()) return true;
    stopped = true;
    return false;
  }

  bool Sink(const uint8_t* data, size_t size) {
    if (!*sink || size == 0 || (*sink)(data, size)) return true;
    if (fault.empty()) fault = "the restored bytes could not be written";
    return false;
  }

  // Hands the filled buffer to the sink and the hasher, and starts on the other one.
  bool Flush() {
    const uint8_t* data = buffers[current].data();
    const size_t size = fill;
    fill = 0;
    current ^= 1;
    if (!Sink(data, size)) return false;
    hasher.Submit(data, size);
    return Poll();
  }
};

FLAC__StreamDecoderReadStatus ReadInput(const FLAC__StreamDecoder*, FLAC__byte buffer[],
                                        size_t* bytes, void* data) {
  auto* s = static_cast<DecodeState*>(data);
  if (!s->Poll()) return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
  errno = 0;
  *bytes = std::fread(buffer, 1, *bytes, s->file);
  if (*bytes > 0) return FLAC__STREAM_DECODER_READ_STATUS_CONTINUE;
  if (std::ferror(s->file)) {
    if (s->fault.empty()) s->fault = ErrnoText(errno);
    return FLAC__STREAM_DECODER_READ_STATUS_ABORT;
  }
  return FLAC__STREAM_DECODER_READ_STATUS_END_OF_STREAM;
}

FLAC__bool InputEnded(const FLAC__StreamDecoder*, void* data) {
  return std::feof(static_cast<DecodeState*>(data)->file) != 0;
}

FLAC__StreamDecoderWriteStatus WriteDecoded(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                            const FLAC__int32* const channels[], void* data) {
  auto* s = static_cast<DecodeState*>(data);
  if (!s->fault.empty()) return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
  const FLAC__FrameHeader& h = frame->header;
  if (h.channels != 2 || h.bits_per_sample != 16 || h.sample_rate != SAMPLE_RATE) {
    s->fault = "a frame of its audio is not CD audio";
    return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
  }
  const size_t size = size_t(h.blocksize) * FRAME_BYTES;
  if (s->expected - s->done < size) {
    s->fault = "it holds more audio than its tags say";
    return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
  }
  if (s->buffers[s->current].size() - s->fill < size && !s->Flush()) {
    return FLAC__STREAM_DECODER_WRITE_STATUS_ABORT;
  }
  uint8_t* out = s->buffers[s->current].data() + s->fill;
  const FLAC__int32* left = channels[0];
  const FLAC__int32* right = channels[1];
  for (uint32_t i = 0; i < h.blocksize; ++i) {
    const auto l = uint16_t(left[i]), r = uint16_t(right[i]);
    out[4 * i] = uint8_t(l);
    out[4 * i + 1] = uint8_t(l >> 8);
    out[4 * i + 2] = uint8_t(r);
    out[4 * i + 3] = uint8_t(r >> 8);
  }
  s->fill += size;
  s->done += size;
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void DecodeError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus status, void* data) {
  auto* s = static_cast<DecodeState*>(data);
  if (!s->fault.empty()) return;
  switch (status) {
    case FLAC__STREAM_DECODER_ERROR_STATUS_FRAME_CRC_MISMATCH:
      s->fault = "a frame of its audio fails its CRC";
      break;
    case FLAC__STREAM_DECODER_ERROR_STATUS_BAD_HEADER:
      s->fault = "a frame header of its audio is damaged";
      break;
    case FLAC__STREAM_DECODER_ERROR_STATUS_LOST_SYNC:
      s->fault = std::feof(s->file) ? "its last frame is damaged or cut short"
                                    : "its audio is damaged: the decoder lost its place in it";
      break;
    default:
      s->fault = "its audio cannot be parsed";
      break;
  }
}

// Decodes the whole stream through `s`; false with s.fault or s.stopped set. The MD5 is checked
// here rather than by libFLAC, so that it is computed beside the decoding.
bool Decode(const FlacRange& tags, const std::string& md5, DecodeState& s) {
  const std::unique_ptr<FLAC__StreamDecoder, DecoderDeleter> decoder(FLAC__stream_decoder_new());
  if (!decoder) {
    s.fault = "out of memory";
    return false;
  }
  FLAC__StreamDecoder* d = decoder.get();
  s.expected = tags.length - tags.length % FRAME_BYTES;
  for (auto& buffer : s.buffers) {
    buffer.resize(std::max(DECODE_BUFFER, MAX_FLAC_BLOCK_FRAMES * FRAME_BYTES));
  }
  if (FLAC__stream_decoder_init_stream(d, ReadInput, nullptr, nullptr, nullptr, InputEnded,
                                       WriteDecoded, nullptr, DecodeError,
                                       &s) != FLAC__STREAM_DECODER_INIT_STATUS_OK) {
    s.fault = "the decoder cannot start";
    return false;
  }
  const bool decoded = FLAC__stream_decoder_process_until_end_of_stream(d);
  if (s.stopped || !s.fault.empty()) return false;
  if (!decoded || FLAC__stream_decoder_get_state(d) != FLAC__STREAM_DECODER_END_OF_STREAM) {
    s.fault = std::string("libFLAC: ") + FLAC__stream_decoder_get_resolved_state_string(d);
    return false;
  }
  if (!s.Flush()) return false;
  s.hasher.Wait();
  if (s.done != s.expected) {
    s.fault = "it is cut short: its audio ends after " + std::to_string(s.done) + " of " +
              std::to_string(s.expected) + " bytes";
    return false;
  }
  // The tail is no sample: it counts in the SHA-1 alone.
  const auto* tail = reinterpret_cast<const uint8_t*>(tags.tail.data());
  s.hasher.sums.UpdatePart(SHA1_PART, tail, tags.tail.size());
  const ChecksumDigests digests = s.hasher.sums.Finish();
  if (md5 != std::string(32, '0') && digests.md5 != md5) {
    s.fault = "its audio does not match the MD5 in its header";
    return false;
  }
  if (digests.sha1 != tags.sha1) {
    s.fault = "the restored bytes do not match the SHA-1 in its tags";
    return false;
  }
  return s.Sink(tail, tags.tail.size());
}

}  // namespace

}  // namespace flac

bool DecodeFlac(const std::string& flacPath, FlacRange* range,
                const std::function<bool(const uint8_t*, size_t)>& sink,
                const std::function<bool()>& poll, std::string* error, bool* stopped) {
  if (stopped != nullptr) *stopped = false;
  std::string md5, why;
  const int fd = OpenRegular(flacPath, nullptr, &why);
  const flac::FilePtr file(fd >= 0 ? ::fdopen(fd, "rb") : nullptr);
  if (!file) {
    *error = fd >= 0 ? flac::ErrnoText(errno) : why;
    if (fd >= 0) ::close(fd);
    return false;
  }
  std::setvbuf(file.get(), nullptr, _IOFBF, size_t{1} << 18);
  FlacRange tags;
  // The tags come from the same open file the decoder reads, so both see the same bytes.
  if (!flac::ReadRangeFromFd(::fileno(file.get()), &tags, &md5, error)) return false;
  flac::DecodeState state;
  state.file = file.get();
  state.sink = &sink;
  state.poll = &poll;
  if (!flac::Decode(tags, md5, state)) {
    if (stopped != nullptr) *stopped = state.stopped;
    *error = state.stopped ? "the decoding was stopped" : state.fault;
    return false;
  }
  if (range) *range = std::move(tags);
  return true;
}

}  // namespace quarnel
