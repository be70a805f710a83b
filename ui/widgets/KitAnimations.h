// One switch for every animation of the kit: fades, moves and pulses take
// their duration from here, so tests (and the gallery) can turn them off and
// see the end state at once.
#pragma once

namespace KitAnimations {

void SetEnabled(bool enabled);
bool Enabled();
// `milliseconds` while animations are on, 0 while they are off.
int Duration(int milliseconds);

}  // namespace KitAnimations
