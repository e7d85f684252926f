#pragma once
// Adds the export's audio to a video-only file: the encoded video is copied
// packet for packet and the audio track comes from the export's audio pipeline,
// both written into a new MPEG-4 file by one writer.

#include <string>

#include "manifest/manifest.h"
#include "vantrel/common/error.h"

namespace vantrel::exporter {

enum class MuxWriterErrorCode { noVideoTrack, writerSetupFailed, readerSetupFailed, writingFailed };

class MuxWriterError : public CodedError<MuxWriterErrorCode> {
 public:
  using CodedError::CodedError;
  static MuxWriterError noVideoTrack(const std::string& path);
  static MuxWriterError writerSetupFailed(const std::string& message);
  static MuxWriterError readerSetupFailed(const std::string& message);
  static MuxWriterError writingFailed(const std::string& message);
};

// Throws MuxWriterError, the media layer's errors for files it cannot open, or
// the audio pipeline's errors. Writes no progress; removes no scratch file.
void muxVideoWithAudio(const std::string& videoOnlyPath, const std::string& outputPath,
                       const std::string& tempAudioPath, const NativeExportManifestV1& manifest);

}  // namespace vantrel::exporter
