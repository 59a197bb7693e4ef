// Encoding byte ranges of CD audio into FLAC tracks, one job per core.
#include <FLAC/format.h>
#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "packing/flac_internal.h"
#include "packing/flac_tracks.h"

namespace quarnel {

namespace flac {

namespace {

constexpr size_t READ_FRAMES = size_t{1} << 17;  // 512 KiB of the source per piece
constexpr uint32_t SEEK_POINT_FRAMES = 10 * SAMPLE_RATE;
constexpr size_t MAX_CAPTURED_HEAD = size_t{1} << 16;

struct EncoderDeleter {
  void operator()(FLAC__StreamEncoder* e) const { FLAC__stream_encoder_delete(e); }
};

// The FLAC being written, behind libFLAC's stream callbacks.
struct EncodeOutput {
  FILE* file = nullptr;
  int error = 0;              // errno of the first failed write or seek
  bool capturing = false;     // while init writes the metadata
  std::vector<uint8_t> head;  // the metadata as init wrote it: the file's first bytes
};

FLAC__StreamEncoderWriteStatus WriteOutput(const FLAC__StreamEncoder*, const FLAC__byte buffer[],
                                           size_t bytes, uint32_t, uint32_t, void* data) {
  auto* out = static_cast<EncodeOutput*>(data);
  if (out->capturing) {
    const size_t keep =
        std::min(bytes, MAX_CAPTURED_HEAD - std::min(MAX_CAPTURED_HEAD, out->head.size()));
    out->head.insert(out->head.end(), buffer, buffer + keep);
  }
  errno = 0;
  if (std::fwrite(buffer, 1, bytes, out->file) != bytes) {
    out->error = errno != 0 ? errno : EIO;
    return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
  }
  return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

FLAC__StreamEncoderSeekStatus SeekOutput(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                         void* data) {
  auto* out = static_cast<EncodeOutput*>(data);
  if (::fseeko(out->file, off_t(offset), SEEK_SET) != 0) {
    out->error = errno;
    return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
  }
  return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus TellOutput(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                         void* data) {
  const off_t at = ::ftello(static_cast<EncodeOutput*>(data)->file);
  if (at < 0) return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
  *offset = FLAC__uint64(at);
  return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

std::string EncoderFault(FLAC__StreamEncoder* encoder, const EncodeOutput& out) {
  if (out.error != 0) return ErrnoText(out.error);
  return std::string("libFLAC: ") + FLAC__stream_encoder_get_resolved_state_string(encoder);
}

// One FLAC being written. The members are in the order that lets an encoder deleted before its
// end finish through the file and the metadata.
class FlacWriter {
 public:
  bool Open(const std::string& path, const FlacRange& r, std::string* why) {
    file_.reset(std::fopen(path.c_str(), "wb"));
    if (!file_) {
      *why = "cannot create " + path + ": " + ErrnoText(errno);
      return false;
    }
    out_.file = file_.get();
    std::setvbuf(out_.file, nullptr, _IOFBF, size_t{1} << 18);
    *why = "cannot encode " + path + ": ";
    const uint64_t frames = r.length / FRAME_BYTES;
    tags_ = BuildTags(r);
    if (frames > 0) {
      seekTable_.reset(FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE));
      if (!seekTable_ ||
          !FLAC__metadata_object_seektable_template_append_spaced_points_by_samples(
              seekTable_.get(), SEEK_POINT_FRAMES, frames) ||
          !FLAC__metadata_object_seektable_template_sort(seekTable_.get(), /*compact=*/true)) {
        *why += "out of memory";
        return false;
      }
    }
    encoder_.reset(FLAC__stream_encoder_new());
    if (!encoder_ || !tags_) {
      *why += "out of memory";
      return false;
    }
    FLAC__StreamMetadata* blocks[] = {tags_.get(), seekTable_.get()};
    FLAC__StreamEncoder* e = encoder_.get();
    FLAC__stream_encoder_set_channels(e, 2);
    FLAC__stream_encoder_set_bits_per_sample(e, 16);
    FLAC__stream_encoder_set_sample_rate(e, SAMPLE_RATE);
    FLAC__stream_encoder_set_compression_level(e, 5);
    FLAC__stream_encoder_set_total_samples_estimate(e, frames);
    FLAC__stream_encoder_set_metadata(e, blocks, seekTable_ ? 2 : 1);
    out_.capturing = true;
    const FLAC__StreamEncoderInitStatus init =
        FLAC__stream_encoder_init_stream(e, WriteOutput, SeekOutput, TellOutput, nullptr, &out_);
    out_.capturing = false;
    if (init == FLAC__STREAM_ENCODER_INIT_STATUS_OK) return true;
    *why += init == FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR
                ? EncoderFault(e, out_)
                : std::string("libFLAC: ") + FLAC__StreamEncoderInitStatusString[init];
    return false;
  }

  // Encodes the whole stereo frames of `bytes` (16-bit little-endian).
  bool Write(const uint8_t* bytes, size_t frames, std::string* why) {
    samples_.resize(std::max(samples_.size(), 2 * frames));
    for (size_t i = 0; i < 2 * frames; ++i) {
      samples_[i] = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
    }
    if (frames == 0 || FLAC__stream_encoder_process_interleaved(encoder_.get(), samples_.data(),
                                                                uint32_t(frames))) {
      return true;
    }
    *why = EncoderFault(encoder_.get(), out_);
    return false;
  }

  // Ends the stream, writes the tags known only now and closes the file; its size in `bytes`.
  bool Finish(const FlacRange& r, uint64_t* bytes, std::string* why) {
    if (!FLAC__stream_encoder_finish(encoder_.get())) {
      *why = EncoderFault(encoder_.get(), out_);
      return false;
    }
    if (!PatchTags(out_.head, out_.file, r, why)) return false;
    errno = 0;
    const off_t end = ::fseeko(out_.file, 0, SEEK_END) == 0 ? ::ftello(out_.file) : -1;
    if (end < 0 || std::fclose(file_.release()) != 0) {
      *why = ErrnoText(errno);
      return false;
    }
    *bytes = uint64_t(end);
    return true;
  }

 private:
  EncodeOutput out_;
  FilePtr file_;
  MetadataPtr tags_;
  MetadataPtr seekTable_;
  std::unique_ptr<FLAC__StreamEncoder, EncoderDeleter> encoder_;
  std::vector<FLAC__int32> samples_;
};

std::string SourceTooShort(const FlacJob& job) {
  return job.source + " ends before byte " + std::to_string(job.range.offset + job.range.length) +
         ", the end of the range to encode";
}

// Reads `size` bytes at `offset` of the source, whole: false with `why` on a fault or early end.
bool ReadSource(int fd, const FlacJob& job, uint64_t offset, uint8_t* to, size_t size,
                std::string* why) {
  int error = 0;
  if (PreadAll(fd, offset, to, size, &error)) return true;
  *why = error != 0 ? "cannot read " + job.source + ": " + ErrnoText(error) : SourceTooShort(job);
  return false;
}

FlacResult EncodeJob(FlacJob& job, const std::atomic<bool>& stop) {
  FlacResult result;
  FlacRange& r = job.range;
  r.sha1.clear();
  r.tail.clear();
  std::string why;
  auto fail = [&](const std::string& error) {
    result.error = error;
    return result;
  };
  if (const char* bad = BadNameReason(r.file)) {
    return fail("cannot encode " + job.flacPath + ": the file name \"" + r.file + "\" " + bad);
  }
  if (!RangeEndsInBounds(r)) {
    return fail("cannot encode " + job.flacPath + ": the range ends past " + RangeLimitText());
  }
  uint64_t sourceSize = 0;
  const Fd source(OpenRegular(job.source, &sourceSize, &why));
  if (source.Get() < 0) return fail("cannot open " + job.source + ": " + why);
  if (sourceSize < r.offset + r.length) return fail(SourceTooShort(job));
  ::posix_fadvise(source.Get(), off_t(r.offset), off_t(r.length), POSIX_FADV_SEQUENTIAL);
  FlacWriter writer;
  if (!writer.Open(job.flacPath, r, &why)) return fail(why);

  Checksums sums;  // SHA-1 only
  std::vector<uint8_t> bytes(READ_FRAMES * FRAME_BYTES);
  for (uint64_t done = 0; done < r.length;) {
    if (stop.load(std::memory_order_relaxed)) {
      result.stopped = true;
      return fail("encoding " + job.flacPath + " was stopped");
    }
    const size_t size = size_t(std::min<uint64_t>(bytes.size(), r.length - done));
    if (!ReadSource(source.Get(), job, r.offset + done, bytes.data(), size, &why)) return fail(why);
    sums.UpdatePart(SHA1_PART, bytes.data(), size);
    const size_t whole = size - size % FRAME_BYTES;
    if (!writer.Write(bytes.data(), whole / FRAME_BYTES, &why)) {
      return fail("cannot write " + job.flacPath + ": " + why);
    }
    done += size;
    if (done == r.length)
      r.tail.assign(reinterpret_cast<const char*>(bytes.data()) + whole, size - whole);
  }
  r.sha1 = sums.Finish().sha1;
  if (!writer.Finish(r, &result.flacBytes, &why)) {
    return fail("cannot write " + job.flacPath + ": " + why);
  }
  result.ok = true;
  return result;
}

// Longest first, so that the last job to start is a short one and the cores end together.
std::vector<size_t> LongestFirst(const std::vector<FlacJob>& jobs) {
  std::vector<size_t> order(jobs.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return jobs[a].range.length > jobs[b].range.length; });
  return order;
}

// The jobs of one EncodeFlacs call: workers take the next job in order_ until none is left or
// the run stops, while the calling thread polls and hands on the jobs that ended.
class EncodeRun {
 public:
  explicit EncodeRun(std::vector<FlacJob>& jobs)
      : jobs_(jobs), results_(jobs.size()), order_(LongestFirst(jobs)) {}
  // Joins the workers however the run ends, a throwing callback included.
  ~EncodeRun() {
    stop_ = true;
    for (std::thread& t : threads_) t.join();
  }
  EncodeRun(const EncodeRun&) = delete;
  EncodeRun& operator=(const EncodeRun&) = delete;

  // Starts up to `count` workers; fewer when the system has no more threads to give.
  void Start(size_t count) {
    for (size_t t = 0; t < count; ++t) {
      try {
        std::lock_guard<std::mutex> lock(mutex_);
        threads_.emplace_back(&EncodeRun::Work, this);
        ++running_;
      } catch (const std::system_error& e) {
        threadError_ = e.what();
        break;
      }
    }
  }

  // Until every worker has ended: polls, and calls `finished` for each job that ended, on the
  // calling thread.
  void Wait(const std::function<bool()>& poll, const std::function<void(size_t job)>& finished) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (running_ > 0 || !endedJobs_.empty()) {
      lock.unlock();
      if (poll && !stop_ && poll()) stop_ = true;
      lock.lock();
      ended_.wait_for(lock, POLL_INTERVAL, [&] { return !endedJobs_.empty() || running_ == 0; });
      const std::vector<size_t> now = std::move(endedJobs_);
      endedJobs_.clear();
      lock.unlock();
      if (finished) {
        for (const size_t i : now) finished(i);
      }
      lock.lock();
    }
  }

  // After Wait: one result per job, in job order; a job never begun says why.
  std::vector<FlacResult> Results() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (; next_ < jobs_.size(); ++next_) {
      const size_t i = order_[next_];
      results_[i].stopped = stop_;
      results_[i].error = stop_ ? "encoding " + jobs_[i].flacPath + " was stopped before it began"
                                : "cannot encode " + jobs_[i].flacPath + ": no thread to run it (" +
                                      threadError_ + ")";
    }
    return std::move(results_);
  }

 private:
  void Work() {
    for (;;) {
      size_t i;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        if (next_ == jobs_.size() || stop_) break;
        i = order_[next_++];
      }
      FlacResult result;
      try {
        result = EncodeJob(jobs_[i], stop_);
      } catch (const std::bad_alloc&) {
        result.error = "cannot encode " + jobs_[i].flacPath + ": out of memory";
      }
      std::lock_guard<std::mutex> lock(mutex_);
      results_[i] = std::move(result);
      endedJobs_.push_back(i);
      ended_.notify_one();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    --running_;
    ended_.notify_one();
  }

  std::vector<FlacJob>& jobs_;
  std::vector<FlacResult> results_;
  const std::vector<size_t> order_;
  std::mutex mutex_;
  std::condition_variable ended_;
  std::atomic<bool> stop_{false};
  size_t next_ = 0, running_ = 0;  // next_: the next place in order_ to start
  std::vector<size_t> endedJobs_;  // guarded by mutex_, handed to `finished` by the caller
  std::string threadError_;        // why a worker could not start
  std::vector<std::thread> threads_;
};

}  // namespace

}  // namespace flac

std::vector<FlacResult> EncodeFlacs(std::vector<FlacJob>& jobs, unsigned threads,
                                    const std::function<bool()>& poll,
                                    const std::function<void(size_t job)>& finished) {
  // Two workers a core by default: a disc's few tracks of unequal length would otherwise leave a
  // core idle while the last long one is encoded.
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t wanted =
      std::min<size_t>(threads == 0 ? 2 * cores : std::min(threads, 2 * cores), jobs.size());
  flac::EncodeRun run(jobs);
  run.Start(wanted);
  run.Wait(poll, finished);
  return run.Results();
}

}  // namespace quarnel
