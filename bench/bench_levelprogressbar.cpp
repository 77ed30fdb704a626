// Time of one paint of the launcher's progress bar (335 x 13, five gradient
// steps, blocks, no text): the whole paint operation with its off-screen
// bitmap and the copy to the surface, at a few positions, and the default
// bar with its centred text for comparison. There is no peer tool for this:
// the figure to watch is the absolute time, which must stay far below a
// millisecond so that painting at every percent never slows a download.
#include <benchmark/benchmark.h>

#include "platform/component.h"
#include "platform/ui.h"
#include "widgets/levelprogressbar.h"

namespace {

const char* kLauncherBar = R"(object LevelProgressBar1: TLevelProgressBar
  Left = 18
  Top = 202
  Width = 335
  Height = 13
  Font.Height = -13
  Font.Name = 'Verdana'
  Level0Color = 16174957
  Level0ColorTo = 9773073
  Level1Color = 16174957
  Level1ColorTo = 9773073
  Level2Color = 16174957
  Level2ColorTo = 9773073
  Level3Color = 16174957
  Level3ColorTo = 9773073
  Position = 0
  ShowPercentage = False
  ShowPosition = False
  Steps = 5
end
)";

void BM_LauncherBarPaint(benchmark::State& state) {
  ui::Form form("TBenchForm");
  TLevelProgressBar bar(nullptr);
  LoadComponent(bar, kLauncherBar);
  bar.SetParent(&form);
  bar.SetPosition(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    bar.Paint();
    benchmark::DoNotOptimize(bar.Surface().Data().data());
  }
  state.counters["paints"] = static_cast<double>(bar.PaintCount());
}
BENCHMARK(BM_LauncherBarPaint)->Arg(0)->Arg(50)->Arg(100)->Unit(benchmark::kMicrosecond);

void BM_DefaultBarPaintWithText(benchmark::State& state) {
  ui::Form form("TBenchForm");
  TLevelProgressBar bar(nullptr);
  bar.SetParent(&form);
  for (auto _ : state) {
    bar.Paint();
    benchmark::DoNotOptimize(bar.Surface().Data().data());
  }
}
BENCHMARK(BM_DefaultBarPaintWithText)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
