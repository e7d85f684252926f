#include "encode/mux.h"

#include <chrono>
#include <exception>
#include <mutex>
#include <optional>
#include <thread>

#include "encode/audio_task.h"
#include "vantrel/media/asset.h"
#include "vantrel/media/errors.h"
#include "vantrel/media/readers.h"
#include "vantrel/media/writer.h"

namespace vantrel::exporter {

using C = MuxWriterErrorCode;

MuxWriterError MuxWriterError::noVideoTrack(const std::string& path) {
  return {C::noVideoTrack, path, "No video track in video-only file: " + path};
}
MuxWriterError MuxWriterError::writerSetupFailed(const std::string& message) {
  return {C::writerSetupFailed, message, "AVAssetWriter setup failed: " + message};
}
MuxWriterError MuxWriterError::readerSetupFailed(const std::string& message) {
  return {C::readerSetupFailed, message, "AVAssetReader setup failed: " + message};
}
MuxWriterError MuxWriterError::writingFailed(const std::string& message) {
  return {C::writingFailed, message, "AVAssetWriter failed: " + message};
}

namespace {

std::string orDefault(const std::string& text, const char* fallback) { return text.empty() ? fallback : text; }

}  // namespace

void muxVideoWithAudio(const std::string& videoOnlyPath, const std::string& outputPath,
                       const std::string& tempAudioPath, const NativeExportManifestV1& manifest) {
  auto asset = media::Asset::open(videoOnlyPath);
  auto videoTracks = asset->tracks(media::MediaType::video);
  if (videoTracks.empty()) throw MuxWriterError::noVideoTrack(videoOnlyPath);
  const media::TrackInfo& videoTrack = *videoTracks.front();

  std::optional<media::Writer> writer;
  try {
    writer.emplace(outputPath, media::WriterOptions{true});
  } catch (const media::MediaError&) {
    throw MuxWriterError::writerSetupFailed("AVAssetWriter(url:fileType:) returned nil");
  }

  media::WriterInput* videoInput = nullptr;
  if (!videoTrack.formatDescriptions.empty() &&
      media::Writer::canAddPassThroughInput(videoTrack.formatDescriptions.front())) {
    try {
      videoInput = writer->addPassThroughInput(videoTrack.formatDescriptions.front(), videoTrack.preferredTransform);
    } catch (const media::MediaError&) {
      videoInput = nullptr;
    }
  }
  if (!videoInput) throw MuxWriterError::writerSetupFailed("cannot add video passthrough input");

  std::unique_ptr<AudioTrackTask> audio;
  if (manifest.audioPlan.includeAudioTrack) {
    audio = makeAudioTrackTask(manifest, tempAudioPath);
    if (!audio->addInput(*writer)) throw MuxWriterError::writerSetupFailed("cannot add audio input");
  }

  std::optional<media::PacketReader> reader;
  try {
    reader.emplace(asset, videoTrack.trackId);
  } catch (const media::MediaError&) {
    throw MuxWriterError::readerSetupFailed("cannot add video passthrough output");
  }

  try {
    writer->startWriting();
  } catch (const media::MediaError&) {
    throw MuxWriterError::writerSetupFailed(orDefault(writer->errorText(), "startWriting failed"));
  }
  writer->startSession(media::MediaTime::zero());

  // Both tasks run to their own end; the first error is thrown afterwards.
  AudioBeside audioTask(audio.get());

  try {
    struct Finish {
      media::WriterInput* input;
      ~Finish() { input->markAsFinished(); }
    } finish{videoInput};
    for (;;) {
      std::optional<media::Packet> packet;
      try {
        packet = reader->next();
      } catch (const media::MediaError& e) {
        throw MuxWriterError::readerSetupFailed(orDefault(e.what(), "video reader failed mid-read"));
      }
      if (!packet) {
        if (reader->status() == media::ReaderStatus::failed) {
          throw MuxWriterError::readerSetupFailed(orDefault(reader->errorText(), "video reader failed mid-read"));
        }
        break;
      }
      while (!videoInput->isReadyForMoreMediaData()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      if (!videoInput->appendPacket(*packet)) {
        throw MuxWriterError::writingFailed(orDefault(writer->errorText(), "video append failed"));
      }
    }
  } catch (...) {
    audioTask.recordError(std::current_exception());
  }
  audioTask.join();
  if (auto error = audioTask.firstError()) {
    writer->cancelWriting();
    std::rethrow_exception(error);
  }

  writer->finishWriting().get();
  if (writer->status() != media::WriterStatus::completed) {
    throw MuxWriterError::writingFailed(orDefault(writer->errorText(), "unknown finishWriting failure"));
  }
}

}  // namespace vantrel::exporter
