// ledsim --picture: an SVG timeline of a run. One lane per LED, time across; each
// stretch is drawn in the colour the LED had, blinking as its on/off pattern, inside
// an outline of the lane (data-lane-frame) so that white shows on the pale page.
// Each lane shows a swatch of every colour it showed for a pixel or more (not the
// passing colours between two writes of one colour's red, green and blue), each
// blink its pattern under the lane (data-blink-label), and a legend under the time
// axis (data-legend) says which drawing means what.
//
// Every drawn rectangle carries its lane (data-led), what it shows (data-state:
// "on", "off", "blink-on" for a lit phase of a blink, "blink-dense" for a blink too
// fast to draw phase by phase, shown as its average) and its times in milliseconds
// (data-start-ms, data-end-ms), so the picture can be read back exactly.
#pragma once

#include "led_panel.h"
#include "value_timeline.h"

#include <string>
#include <vector>

namespace ledsim {

// `changes` in time order; `endMs` is when the run ended. `title` is shown above.
std::string renderSvgTimeline(const Profile& profile, const std::vector<ValueChange>& changes, double endMs,
                              const std::string& title);

} // namespace ledsim
