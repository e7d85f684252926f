#pragma once
// The two export paths a job can take once its manifest is loaded and its scene
// is supported. Each returns the size in bytes of the finished file at the
// final output path, or throws.

#include <cstdint>
#include <string>

#include "job/arguments.h"
#include "job/progress_reporter.h"
#include "manifest/manifest.h"

namespace vantrel::exporter {

std::int64_t exportNativeVideoComposition(const NativeExportManifestV1& manifest, const JobArguments& arguments,
                                          ProgressReporter& reporter, const std::string& helperVersion);

std::int64_t exportNativeGifComposition(const NativeExportManifestV1& manifest, const JobArguments& arguments,
                                        ProgressReporter& reporter, const std::string& helperVersion);

}  // namespace vantrel::exporter
