// A film of the simulated robot: MuJoCo's renderer draws the rigid bodies
// from a camera that follows the trunk, 30 frames per simulated second, and
// an ffmpeg child process encodes them into a file.
//
// Rendering runs on a thread of its own with its own OpenGL context (EGL and
// Mesa: on the X display when DISPLAY is set, e.g. under xvfb-run, and
// without any display otherwise), so that the simulation's pacing only pays
// for copying the positions of each frame.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "robot_model.h"

namespace kalvent_sim {

class Video {
 public:
  static constexpr int kFramesPerSecond = 30;
  static constexpr int kWidth = 640;
  static constexpr int kHeight = 480;

  Video() = default;
  ~Video();
  Video(const Video&) = delete;
  Video& operator=(const Video&) = delete;

  // Starts ffmpeg writing `file` (its format told by the name, e.g. .mp4)
  // and the rendering thread. False, after a line on stderr, when there is
  // no OpenGL context to be had or ffmpeg cannot be started.
  bool open(const std::string& file, KALVENT_LEGGED_SDK::LeggedType robot);

  // The robot at simulated time `seconds`, its positions `qpos` (the
  // model's nq values; null: as last offered, e.g. while the controller is
  // down). Queues the frames due up to that time, all showing these
  // positions; cheap. Thread: the simulation's.
  void offer(double seconds, const double* qpos);

  // Renders what is queued, ends the film and waits for ffmpeg. False, after
  // a line on stderr, when a frame or the file could not be written.
  bool close();

  uint64_t frames() const { return framesQueued_; }

 private:
  void render(std::promise<bool> started);

  ModelPtr model_;
  std::string file_;
  pid_t encoder_ = -1;
  int pipe_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::vector<double>> queue_;
  std::vector<double> last_;
  bool closing_ = false;
  bool failed_ = false;  // guarded by mutex_
  uint64_t framesQueued_ = 0;
};

}  // namespace kalvent_sim
