#include "packing/audio_extraction.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "packing/media_ripping.h"
#include "xa/xa_decoder.h"

namespace quarnel {

namespace {

constexpr size_t PCM_SECTOR_BYTES = XA_SAMPLES_PER_SECTOR * 2;  // 8064
constexpr size_t WAV_BUFFER = 64 << 10;  // many WAV files may be open at once

std::string Name(const char* format, uint32_t n) {
  char name[32];
  std::snprintf(name, sizeof name, format, n);
  return name;
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

std::string XaWavName(uint32_t r) {
  return Name("track%04u.wav", r);
}
std::string XaMp3Name(uint32_t r) {
  return Name("track%04u.mp3", r);
}
std::string TrackRawName(uint32_t t) {
  return Name("track%02u.raw", t);
}
std::string TrackMp3Name(uint32_t t) {
  return Name("track%02u.mp3", t);
}
std::string XaWavPath(const std::string& folder, uint32_t r) {
  return folder + "/" + XaWavName(r);
}
std::string TrackRawPath(const std::string& folder, uint32_t t) {
  return folder + "/" + TrackRawName(t);
}

AudioExtraction::AudioExtraction(const DiscAnalysis& analysis, std::string workFolder)
    : analysis_(analysis), workFolder_(std::move(workFolder)), records_(XA_RECORD_TABLE_SIZE) {
  InitXaDecoder(decoder_);
}

AudioExtraction::~AudioExtraction() {
  CloseOpenWavFiles();
  EndTracks();
}

// The file's own account when it has one: it tells a folder or a busy file from a full disk.
void AudioExtraction::ReportFailure(const OutputFile& file, const char* failedTo) {
  const std::string own = file.Error();
  Fail(file.Path(), !own.empty() ? own
                                 : std::string("cannot ") + failedTo + " " + file.Path() + ": " +
                                       std::strerror(EIO));
}

void AudioExtraction::Fail(const std::string& file, const std::string& message) {
  // One line is enough: a full disk would otherwise give one per open file.
  if (Failed()) return;
  failure_ = message;
  failedFile_ = file;
}

void AudioExtraction::DecodeInto(RecordState& record, const uint8_t* sector) {
  // Interleaved records each go on from their own saved history.
  std::memcpy(decoder_.XaDecoderState, record.history, sizeof record.history);
  // A skipped sound unit leaves its samples unwritten: they are silence, never what the buffer
  // held from another record's sector.
  std::memset(PcmSectorBuffer, 0, sizeof PcmSectorBuffer);
  if (record.sound.channels == 2) {
    DecodeXaSectorStereo(decoder_, PcmSectorBuffer, sector + USER_DATA_OFFSET);
  } else {
    DecodeXaSectorMono(decoder_, PcmSectorBuffer, sector + USER_DATA_OFFSET);
  }
  std::memcpy(record.history, decoder_.XaDecoderState, sizeof record.history);
  if (!record.wav) return;
  uint8_t bytes[PCM_SECTOR_BYTES];
  for (size_t i = 0; i < XA_SAMPLES_PER_SECTOR; ++i) {
    PutU16(bytes + 2 * i, static_cast<uint16_t>(PcmSectorBuffer[i]));
  }
  if (record.wav->Write(bytes, sizeof bytes)) {
    record.sound.pcmBytes += PCM_SECTOR_BYTES;
  } else if (record.wav->Errno() != 0) {
    ReportFailure(*record.wav, "write");
    record.wav->Discard();
    record.wav.reset();
  }
}

// The record's first sector: its WAV file is made, and the sector's coding byte says what it holds.
void AudioExtraction::StartRecord(uint32_t x, const uint8_t* sector) {
  RecordState& record = records_[x];
  record.sound = RecordSound{};
  std::memset(record.history, 0, sizeof record.history);
  auto wav = std::make_unique<OutputFile>();
  uint8_t header[WAV_HEADER_SIZE];
  EncodeWavHeader(header, 0, 0, 0);  // completed at the record's last sector
  if (workFolder_.empty()) {
    Fail({}, "no work folder for the sound of the XA records");
  } else if (wav->Create(XaWavPath(workFolder_, x), WAV_BUFFER) &&
             wav->Write(header, sizeof header)) {
    if (wav->Replaces()) replaced_.push_back(XaWavName(x));
    record.wav = std::move(wav);
  } else {
    ReportFailure(*wav, "create");
  }
  const uint8_t coding = sector[CODING_OFFSET];
  record.sound.sampleRate = (coding & CODING_RATE_MASK) ? 18900 : 37800;
  record.sound.channels = (coding & CODING_STEREO_MASK) == 1 ? 2 : 1;
}

XaTag AudioExtraction::ExtractXaSector(uint32_t n, uint8_t* sector, bool xaOption) {
  const uint16_t x = n < SECTOR_RECORD_MAP_SIZE ? analysis_.SectorRecordMap[n] : NO_XA_RECORD;
  const XaRecord* r = x < records_.size() ? &analysis_.XaRecordTable[x] : nullptr;
  if (r != nullptr) {
    RecordState& record = records_[x];
    if (n == r->firstSector) StartRecord(x, sector);
    if (n == r->firstSector || record.wav) {
      DecodeInto(record, sector);
      if (n == r->lastSector) CompleteWav(record);
    }
  }

  ClearXaSector(sector);
  XaTag tag{x, XA_TAG_MARKER, XA_TAG_NO_CHANNEL};
  if (r != nullptr && xaOption) {
    tag.channel = static_cast<uint8_t>(r->channel & 0xFF);
    if (n == r->firstSector) tag.channel |= XA_TAG_FIRST_SECTOR;
  }
  return tag;
}

void AudioExtraction::CompleteWav(RecordState& record) {
  if (!record.wav) return;
  uint8_t header[WAV_HEADER_SIZE];
  EncodeWavHeader(header, record.sound.pcmBytes, record.sound.channels, record.sound.sampleRate);
  if (!record.wav->Rewrite(0, header, sizeof header) || !record.wav->Close()) {
    ReportFailure(*record.wav, "write");
  }
  record.wav.reset();
}

void AudioExtraction::CloseOpenWavFiles() {
  for (RecordState& record : records_) CompleteWav(record);
}

void AudioExtraction::CreateTrackFile() {
  if (!trackFile_.Create(TrackRawPath(workFolder_, track_))) {
    ReportFailure(trackFile_, "create");
  } else if (trackFile_.Replaces()) {
    replaced_.push_back(TrackRawName(track_));
  }
}

void AudioExtraction::BeginTracks() {
  track_ = 2;
  if (workFolder_.empty()) {
    Fail({}, "no work folder for the audio tracks");
    return;
  }
  tracksStarted_ = true;
  CreateTrackFile();
}

void AudioExtraction::ExtractTrackSectors(uint32_t blockStart, const uint8_t* block,
                                          uint32_t sectors) {
  if (!tracksStarted_) return;
  const AudioTrackTable& tracks = analysis_.AudioTracks;
  const uint32_t lastTrack = tracks.audioTrackCount + 1;
  for (uint32_t i = 0; i < sectors; ++i) {
    const uint32_t s = blockStart + i;
    if (s <= analysis_.dataTrackEnd) continue;
    const AudioTrack* t = &tracks.track[track_];
    if (s > t->lastSector && track_ < lastTrack) {
      if (trackFile_.IsOpen() && !trackFile_.Close()) ReportFailure(trackFile_, "write");
      track_ += 1;
      t = &tracks.track[track_];
      CreateTrackFile();
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
