#pragma once
#include <array>
#include <cstddef>
#include <vector>

namespace kalto {

// The last four left and the last four right input frames of the previous block, oldest first:
// left in [0, 4), right in [4, 8).
using ResampleHistory = std::array<float, 8>;

// Resamples one block of interleaved stereo frames with a Catmull-Rom spline, appending the
// output frames to `out`. `ratio` is input rate / output rate; `position` is the fractional read
// position carried from block to block. Neighbours missing at the block's end are extrapolated
// linearly; the one before the block comes from `history`. No low-pass filter: downsampling
// aliases what lies above the new Nyquist rate.
void ResampleCatmullRom(const float* frames, size_t frameCount, double ratio, double& position,
                        ResampleHistory& history, std::vector<float>& out);

}  // namespace kalto
