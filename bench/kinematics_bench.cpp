// Foot position and Jacobian of the four legs: the library beside a naive
// baseline (a generic chain of 4×4 homogeneous transforms, the Jacobian by
// forward differences), with the ratio printed at the end of the run.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "kalvent_legged_sdk/leg_kinematics.h"

namespace {

namespace sdk = KALVENT_LEGGED_SDK;

using Mat4 = std::array<std::array<double, 4>, 4>;

Mat4 multiply(const Mat4& a, const Mat4& b) {
  Mat4 c{};
  for (int r = 0; r < 4; ++r) {
    for (int k = 0; k < 4; ++k) {
      for (int col = 0; col < 4; ++col) c[r][col] += a[r][k] * b[k][col];
    }
  }
  return c;
}

Mat4 translation(const sdk::Vec3& t) {
  return {{{1, 0, 0, t[0]}, {0, 1, 0, t[1]}, {0, 0, 1, t[2]}, {0, 0, 0, 1}}};
}

// Rotation by `angle` about the unit `axis` (Rodrigues).
Mat4 rotation(const sdk::Vec3& axis, double angle) {
  const double c = std::cos(angle), s = std::sin(angle), v = 1 - c;
  const double x = axis[0], y = axis[1], z = axis[2];
  return {{{c + x * x * v, x * y * v - z * s, x * z * v + y * s, 0},
           {y * x * v + z * s, c + y * y * v, y * z * v - x * s, 0},
           {z * x * v - y * s, z * y * v + x * s, c + z * z * v, 0},
           {0, 0, 0, 1}}};
}

// The leg as a generic serial chain: each joint an origin and an axis.
sdk::Vec3 chainFoot(const sdk::LegGeometry& g, int leg, const sdk::Vec3& q) {
  const sdk::Vec3 origins[3] = {
      g.hipOffset[leg], {0, g.sideSign[leg] * g.abductionLength, 0}, {0, 0, -g.thighLength}};
  const sdk::Vec3 axes[3] = {{1, 0, 0}, {0, 1, 0}, {0, 1, 0}};
  Mat4 t = translation({0, 0, 0});
  for (int j = 0; j < 3; ++j) {
    t = multiply(t, multiply(translation(origins[j]), rotation(axes[j], q[j])));
  }
  t = multiply(t, translation({0, 0, -g.calfLength}));
  return {t[0][3], t[1][3], t[2][3]};
}

sdk::FootKinematics naiveFootKinematics(const sdk::LegGeometry& g, int leg, const sdk::Vec3& q) {
  sdk::FootKinematics k;
  k.position = chainFoot(g, leg, q);
  const double h = 1e-7;
  for (int j = 0; j < 3; ++j) {
    sdk::Vec3 moved = q;
    moved[j] += h;
    const sdk::Vec3 p = chainFoot(g, leg, moved);
    for (int r = 0; r < 3; ++r) k.jacobian[r][j] = (p[r] - k.position[r]) / h;
  }
  return k;
}

// A few standing-like poses, cycled so that no result can be reused.
std::vector<std::array<sdk::Vec3, 4>> poses() {
  std::vector<std::array<sdk::Vec3, 4>> all(64);
  for (size_t i = 0; i < all.size(); ++i) {
    const double phase = 0.1 * static_cast<double>(i);
    for (int leg = 0; leg < 4; ++leg) {
      all[i][leg] = {0.1 * std::sin(phase + leg), 0.7 + 0.3 * std::sin(2 * phase + leg),
                     -1.4 + 0.3 * std::cos(phase + leg)};
    }
  }
  return all;
}

template <typename Compute>
void fourLegs(benchmark::State& state, Compute compute) {
  const auto all = poses();
  size_t i = 0;
  for (auto _ : state) {
    const auto& q = all[i++ % all.size()];
    for (int leg = 0; leg < 4; ++leg) {
      sdk::FootKinematics k = compute(leg, q[leg]);
      benchmark::DoNotOptimize(k);
    }
  }
}

void BM_FourLegsLibrary(benchmark::State& state) {
  const sdk::LegKinematics kinematics;
  fourLegs(state, [&](int leg, const sdk::Vec3& q) { return kinematics.footKinematics(leg, q); });
}

void BM_FourLegsNaiveChain(benchmark::State& state) {
  const sdk::LegGeometry geometry;
  fourLegs(state,
           [&](int leg, const sdk::Vec3& q) { return naiveFootKinematics(geometry, leg, q); });
}

BENCHMARK(BM_FourLegsLibrary);
BENCHMARK(BM_FourLegsNaiveChain);

// The console's table, keeping each benchmark's CPU time per iteration (the
// median when repeated): on a shared machine the wall time also counts other
// programs' turns.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if ((run.run_type == Run::RT_Iteration || median) && !run.error_occurred) {
        nanoseconds[run.run_name.function_name] = run.GetAdjustedCPUTime();
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> nanoseconds;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  const auto library = reporter.nanoseconds.find("BM_FourLegsLibrary");
  const auto naive = reporter.nanoseconds.find("BM_FourLegsNaiveChain");
  if (library != reporter.nanoseconds.end() && naive != reporter.nanoseconds.end()) {
    std::printf(
        "four legs, position + Jacobian, CPU time: library %.1f ns, naive chain %.1f ns, %.1fx\n",
        library->second, naive->second, naive->second / library->second);
  }
  return 0;
}
