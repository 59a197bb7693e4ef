#include "packing/audio_extraction.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/report.h"
#include "packing/media_ripping.h"
#include "xa/xa_decoder.h"

namespace quarnel {

namespace {

constexpr size_t PCM_SECTOR_BYTES = XA_SAMPLES_PER_SECTOR * 2;  // 8064
constexpr size_t WAV_BUFFER = 64 << 10;  // many WAV files may be open at once

std::string Name(const std::string& folder, const char* format, uint32_t n) {
  char name[32];
  std::snprintf(name, sizeof name, format, n);
  return folder + "/" + name;
}

}  // namespace

void EncodeWavHeader(uint8_t* out, uint32_t pcmBytes, uint32_t channels, uint32_t sampleRate) {
  std::memcpy(out, "RIFF", 4);
  PutU32(out + 4, pcmBytes + 36);
  std::memcpy(out + 8, "WAVEfmt ", 8);
  PutU32(out + 16, 16);
  PutU16(out + 20, 1);  // PCM
  PutU16(out + 22, channels);
  PutU32(out + 24, sampleRate);
  PutU32(out + 28, sampleRate * channels * 2);
  PutU16(out + 32, channels * 2);
  PutU16(out + 34, 16);
  std::memcpy(out + 36, "data", 4);
  PutU32(out + 40, pcmBytes);
}

std::string XaWavPath(const std::string& folder, uint32_t r) {
  return Name(folder, "track%04u.wav", r);
}
std::string XaMp3Path(const std::string& folder, uint32_t r) {
  return Name(folder, "track%04u.mp3", r);
}
std::string TrackRawPath(const std::string& folder, uint32_t t) {
  return Name(folder, "track%02u.raw", t);
}
std::string TrackMp3Path(const std::string& folder, uint32_t t) {
  return Name(folder, "track%02u.mp3", t);
}

AudioExtraction::AudioExtraction(AppState& state, Window& window, std::string workFolder)
    : state_(state), window_(window), workFolder_(std::move(workFolder)) {}

AudioExtraction::~AudioExtraction() {
  CloseOpenWavFiles();
  EndTracks();
}

void AudioExtraction::ReportFailure(const OutputFile& file, const char* failedTo) {
  const int error = file.Errno() != 0 ? file.Errno() : EIO;
  Fail(file.Path(),
       std::string("cannot ") + failedTo + " " + file.Path() + ": " + std::strerror(error));
}

void AudioExtraction::Fail(const std::string& file, const std::string& message) {
  // One line is enough: a full disk would otherwise give one per open file.
  if (Failed()) return;
  failure_ = message;
  failedFile_ = file;
  LogF(state_, window_, "ERROR: %s.", message.c_str());
}

OutputFile* AudioExtraction::WavOf(const XaRecord& record) {
  const int32_t slot = record.wavFile - 1;
  if (slot < 0 || static_cast<size_t>(slot) >= wavFiles_.size() || !wavFiles_[slot]) {
    return nullptr;
  }
  return &wavFiles_[slot]->file;
}

void AudioExtraction::DecodeInto(XaRecord& record, const uint8_t* sector, bool stereo) {
  // A skipped sound unit leaves its samples unwritten: they are silence, never what the buffer
  // held from another record's sector.
  std::memset(state_.PcmSectorBuffer, 0, sizeof state_.PcmSectorBuffer);
  if (stereo) {
    DecodeXaSectorStereo(state_.Xa, state_.PcmSectorBuffer, sector + USER_DATA_OFFSET);
  } else {
    DecodeXaSectorMono(state_.Xa, state_.PcmSectorBuffer, sector + USER_DATA_OFFSET);
  }
  OutputFile* wav = WavOf(record);
  if (wav == nullptr) return;
  uint8_t bytes[PCM_SECTOR_BYTES];
  for (size_t i = 0; i < XA_SAMPLES_PER_SECTOR; ++i) {
    PutU16(bytes + 2 * i, static_cast<uint16_t>(state_.PcmSectorBuffer[i]));
  }
  if (wav->Write(bytes, sizeof bytes)) {
    record.pcmBytes += PCM_SECTOR_BYTES;
  } else if (wav->Errno() != 0) {
    ReportFailure(*wav, "write");
    wav->Discard();
    wavFiles_[record.wavFile - 1].reset();
    record.wavFile = 0;
  }
}

XaTag AudioExtraction::ExtractXaSector(uint32_t n, uint8_t* sector, bool xaOption) {
  const uint16_t x = n < SECTOR_RECORD_MAP_SIZE ? state_.SectorRecordMap[n] : NO_XA_RECORD;
  if (x != NO_XA_RECORD) {
    XaRecord& r = state_.XaRecordTable[x];
    if (n == r.firstSector) {
      auto wav = std::make_unique<WavFile>();
      wav->record = x;
      r.pcmBytes = 0;
      uint8_t header[WAV_HEADER_SIZE];
      EncodeWavHeader(header, 0, static_cast<uint32_t>(r.channels),
                      static_cast<uint32_t>(r.sampleRate));
      r.wavFile = 0;
      if (workFolder_.empty()) {
        Fail({}, "no work folder for the sound of the XA records");
      } else if (wav->file.Create(XaWavPath(workFolder_, x), WAV_BUFFER) &&
                 wav->file.Write(header, sizeof header)) {
        wavFiles_.push_back(std::move(wav));
        r.wavFile = static_cast<int32_t>(wavFiles_.size());
      } else {
        ReportFailure(wav->file, "create");
      }
      const uint8_t coding = sector[CODING_OFFSET];
      r.sampleRate = (coding & CODING_RATE_MASK) ? 18900 : 37800;
      r.channels = (coding & CODING_STEREO_MASK) == 1 ? 2 : 1;
      std::memset(state_.Xa.XaDecoderState, 0, sizeof state_.Xa.XaDecoderState);
      DecodeInto(r, sector, r.channels == 2);
      std::memcpy(r.history, state_.Xa.XaDecoderState, sizeof r.history);
      if (n == r.lastSector) CompleteWav(r);
    } else if (WavOf(r) != nullptr) {
      // Interleaved records each go on from their own saved history.
      std::memcpy(state_.Xa.XaDecoderState, r.history, sizeof r.history);
      DecodeInto(r, sector, r.channels == 2);
      std::memcpy(r.history, state_.Xa.XaDecoderState, sizeof r.history);
      if (n == r.lastSector) CompleteWav(r);
    }
  }

  ClearXaSector(sector);
  XaTag tag{x, XA_TAG_MARKER, XA_TAG_NO_CHANNEL};
  if (x != NO_XA_RECORD && xaOption) {
    const XaRecord& r = state_.XaRecordTable[x];
    tag.channel = static_cast<uint8_t>(r.channel & 0xFF);
    if (n == r.firstSector) tag.channel |= XA_TAG_FIRST_SECTOR;
  }
  return tag;
}

void AudioExtraction::CompleteWav(XaRecord& record) {
  OutputFile* wav = WavOf(record);
  if (wav == nullptr) return;
  uint8_t header[WAV_HEADER_SIZE];
  EncodeWavHeader(header, record.pcmBytes, static_cast<uint32_t>(record.channels),
                  static_cast<uint32_t>(record.sampleRate));
  if (!wav->Rewrite(0, header, sizeof header) || !wav->Close()) ReportFailure(*wav, "write");
  wavFiles_[record.wavFile - 1].reset();
  record.wavFile = 0;
}

void AudioExtraction::CloseOpenWavFiles() {
  for (auto& wav : wavFiles_) {
    if (wav) CompleteWav(state_.XaRecordTable[wav->record]);
  }
  wavFiles_.clear();
}

void AudioExtraction::BeginTracks() {
  track_ = 2;
  if (workFolder_.empty()) {
    Fail({}, "no work folder for the audio tracks");
    return;
  }
  tracksStarted_ = true;
  if (!trackFile_.Create(TrackRawPath(workFolder_, track_))) ReportFailure(trackFile_, "create");
}

void AudioExtraction::ExtractTrackSectors(uint32_t blockStart, const uint8_t* block,
                                          uint32_t sectors) {
  if (!tracksStarted_) return;
  const AudioTrackTable& tracks = state_.AudioTracks;
  const uint32_t lastTrack = tracks.audioTrackCount + 1;
  for (uint32_t i = 0; i < sectors; ++i) {
    const uint32_t s = blockStart + i;
    if (s <= state_.dataTrackEnd) continue;
    const AudioTrack* t = &tracks.track[track_];
    if (s > t->lastSector && track_ < lastTrack) {
      if (trackFile_.IsOpen() && !trackFile_.Close()) ReportFailure(trackFile_, "write");
      track_ += 1;
      t = &tracks.track[track_];
      if (!trackFile_.Create(TrackRawPath(workFolder_, track_))) {
        ReportFailure(trackFile_, "create");
      }
    }
    // Sectors of a pregap, and behind the last track, belong to no raw file.
    if (s < t->firstSector || s > t->lastSector || !trackFile_.IsOpen()) continue;
    if (!trackFile_.Write(block + size_t{i} * SECTOR_SIZE, SECTOR_SIZE) &&
        trackFile_.Errno() != 0) {
      ReportFailure(trackFile_, "write");
      trackFile_.Discard();
    }
  }
}

void AudioExtraction::EndTracks() {
  if (!tracksStarted_) return;
  tracksStarted_ = false;
  if (trackFile_.IsOpen() && !trackFile_.Close()) ReportFailure(trackFile_, "write");
}

}  // namespace quarnel
