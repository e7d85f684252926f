#pragma once
// The rendered export's per-frame step: turns each composition request into the
// picture the encoder takes, choosing per frame between two ways of making it.
//
// - Planar: while nothing but the base recording's pixels changes from frame
//   to frame, every layer around the video is linear in the video's pixels, so
//   a frame is `static + coverage x video` per pixel. Both terms are measured
//   once by composing the scene over an all-black and an all-white source (the
//   regular compositor, so every layer is drawn as usual) and kept in I420.
//   Each frame then scales the decoded Y/U/V planes straight into the video
//   rectangle of a copy of that canvas (own Lanczos plane resampler) and blends
//   only the pixels where corners, stroke or anything else laid over the video
//   meet it. No BGRA conversion of the decoded frame, no full-size compositing.
//   The first planar frame after a (re)build is checked against the regular
//   path; below kMinPlanarPsnr the planar path is dropped for the export.
// - Regular: the compositor in BGRA, whenever the scene says something besides
//   the recording changes, the source is not in planes, or planar was refused.
//
// A frame whose source planes equal the previous frame's and whose scene did
// not change reuses the previous output picture (same pixels).
//
// Threads: one thread (the render state's), one frame at a time, in output order.

#include <cstdint>
#include <functional>
#include <array>
#include <memory>
#include <optional>
#include <vector>

#include "render/change_tracking.h"
#include "vantrel/media/frame.h"
#include "vantrel/media/plane_resample.h"
#include "vantrel/media/video_composition_reader.h"

namespace vantrel::exporter {

class NativeRenderState;

// What a frame is handed to the encoder as: exactly one of the two is set.
struct PipelineFrame {
  std::shared_ptr<const media::PixelBuffer> bgra;
  std::shared_ptr<const media::I420Buffer> planes;
  // The frame is the one this pipeline returned last, unchanged.
  bool repeatsPrevious = false;
};

struct PipelineStats {
  std::int64_t planarFrames = 0;   // scaled into the cached canvas
  std::int64_t reusedFrames = 0;   // previous output handed over again
  std::int64_t bandFrames = 0;     // of planarFrames: only the pixels reading changed source tiles redone
  std::int64_t regularFrames = 0;  // composed in BGRA
  std::int64_t canvasBuilds = 0;
  bool planarRefused = false;       // a check against the regular path failed
  double firstCheckPsnr = 0;        // dB, of the first check (0 when none ran)
};

// PSNR (dB) of two equally sized I420 pictures over all three planes; 99 when identical.
double i420Psnr(const media::I420Buffer& a, const media::I420Buffer& b);

class FramePipeline {
 public:
  static constexpr double kMinPlanarPsnr = 47.0;

  // `compositor` draws a request in BGRA (the regular path; its exceptions pass
  // through compose()). `state` may be null: then every frame is regular.
  // `allowPlanar` false forces the regular path (for comparisons).
  FramePipeline(media::Compositor compositor, std::shared_ptr<NativeRenderState> state, int renderWidth,
                int renderHeight, bool allowPlanar = true);
  ~FramePipeline();

  PipelineFrame compose(const media::CompositionRequest& request);
  // Band updates on (default) or off; off redoes every planar frame whole,
  // for comparisons: the output is the same either way.
  void setBandUpdates(bool on) { bandUpdates_ = on; }
  const PipelineStats& stats() const { return stats_; }

 private:
  struct Canvas;
  bool sceneIsStaticThroughout() const;
  bool sceneChanged(double t);
  PipelineFrame composeFrame(const media::CompositionRequest& request);
  PipelineFrame regular(const media::CompositionRequest& request);
  std::unique_ptr<Canvas> buildCanvas(const media::CompositionRequest& request);
  // Which tiles of the source differ from previousSource_: luma kTileWidth x
  // kTileHeight pixels (whole 2x2 blocks) with their chroma samples, row by
  // row, and the count of changed ones in every top-left rectangle of tiles,
  // so that any rectangle of tiles is asked about in constant time.
  struct SourceTiles {
    static constexpr int kTileWidth = 64, kTileHeight = 16;
    int columns = 0, rows = 0, changed = 0;
    std::vector<std::uint8_t> flags;  // rows x columns
    std::vector<int> sums;            // (rows + 1) x (columns + 1)
    void mark(const media::I420Buffer& now, const media::I420Buffer& before, RowBand band);
    // Whether any tile of columns [c0, c1) by rows [r0, r1) changed (clamped to the grid).
    bool any(int c0, int c1, int r0, int r1) const;
  };
  // `changed`: the source tiles that differ from previousSource_, to redo
  // only what reads them; null redoes the frame.
  std::shared_ptr<media::I420Buffer> planar(const media::SourceFrame& base, const SourceTiles* changed);

  media::Compositor compositor_;
  std::shared_ptr<NativeRenderState> state_;
  int width_, height_;
  bool allowPlanar_;
  bool staticThroughout_ = false;
  std::shared_ptr<media::FramePool> outputPool_;
  std::shared_ptr<media::FramePool> sourcePool_;
  std::unique_ptr<Canvas> canvas_;
  struct PlanarOutput {
    std::shared_ptr<media::I420Buffer> buffer;
    std::uint64_t generation = 0;  // the canvas whose static pixels it holds
    std::uint64_t serial = 0;      // the planar output it holds (0: none)
  };
  // Where planar output `serial` differs from the one made before it:
  // rectangles of the luma plane and of the chroma planes ([x0, x1) by
  // [y0, y1)). A buffer a few outputs behind is brought up to date by copying
  // only these from the latest output.
  struct Box {
    int x0 = 0, x1 = 0, y0 = 0, y1 = 0;
  };
  struct OutputChange {
    std::uint64_t serial = 0, generation = 0;
    std::uint64_t basedOn = 0;  // the output it was made from (0: the canvas; any output of it)
    std::vector<Box> luma, chroma;
  };
  // The rectangles of a plane's video area whose filter taps read a changed
  // tile (tiles `tileWidth` x `tileHeight` in that plane's pixels).
  static void rectsReading(const media::PlaneResampler& r, const SourceTiles& tiles, int tileWidth, int tileHeight,
                           std::vector<Box>& out);
  static constexpr std::size_t kKeptChanges = 16;
  void catchUp(PlanarOutput& slot, std::uint64_t generation);
  // The cells (of the given size, from the corner of the plane's video
  // rectangle) that outputs fromSerial ... previousSerial_ changed, as boxes.
  void unionOfChanges(std::uint64_t fromSerial, bool chroma, const media::PlaneResampler& r, int cellWidth,
                      int cellHeight, std::vector<Box>& out) const;
  std::vector<PlanarOutput> planarPool_;
  std::array<OutputChange, kKeptChanges> changes_{};  // by serial % kKeptChanges
  std::uint64_t serial_ = 0;                           // planar outputs made
  std::uint64_t previousSerial_ = 0;                   // previousOutput_'s
  std::uint64_t canvasGenerations_ = 0;
  std::optional<double> previousTime_;
  int staticRun_ = 0;  // frames in a row whose scene did not change
  bool bandUpdates_ = true;
  bool canvasRefused_ = false;  // buildCanvas said no since the scene last changed
  bool lastWasRegular_ = false;  // the frame returned last came from the compositor
  media::I420Buffer gamut_;  // the source clamped to RGB, scaled from
  SourceTiles sourceTiles_;
  std::shared_ptr<const media::I420Buffer> previousSource_;
  std::shared_ptr<const media::I420Buffer> previousOutput_;
  PipelineStats stats_;
};

}  // namespace vantrel::exporter
