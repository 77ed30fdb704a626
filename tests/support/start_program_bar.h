// The level bar as the start program's main window sets it up (blue blocks,
// no text), for the window tests that show one on a form of their own.
#pragma once

#include "widgets/levelprogressbar.h"

namespace testing_support {

inline void StyleAsStartProgramBar(TLevelProgressBar& bar) {
  const TColor color = RGB(109, 207, 246), to = RGB(17, 32, 149);
  bar.SetLevel0Color(color);
  bar.SetLevel1Color(color);
  bar.SetLevel2Color(color);
  bar.SetLevel3Color(color);
  bar.SetLevel0ColorTo(to);
  bar.SetLevel1ColorTo(to);
  bar.SetLevel2ColorTo(to);
  bar.SetLevel3ColorTo(to);
  bar.SetSteps(5);
  bar.SetShowPercentage(false);
  bar.SetShowPosition(false);
}

}  // namespace testing_support
