#include "video.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kalvent_sim {

namespace {

const char kProgram[] = "kalvent_sim";
// The camera: behind and to the right of the trunk, looking down a little.
const double kCameraDistance = 1.4;  // m
const double kCameraAzimuth = 135;   // degrees
const double kCameraElevation = -18;
const int kRenderNice = 19;

// An OpenGL context of Mesa's through EGL, current on the thread that made
// it: on the X display when DISPLAY is set, else on no display at all.
class GlContext {
 public:
  GlContext() = default;
  ~GlContext() {
    if (display_ == EGL_NO_DISPLAY) return;
    eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    if (context_ != EGL_NO_CONTEXT) eglDestroyContext(display_, context_);
    eglTerminate(display_);
  }
  GlContext(const GlContext&) = delete;
  GlContext& operator=(const GlContext&) = delete;

  // False with `why` set when no context can be made.
  bool make(std::string* why) {
    const char* x = std::getenv("DISPLAY");
    display_ = x && *x
                   ? eglGetDisplay(EGL_DEFAULT_DISPLAY)
                   : eglGetPlatformDisplay(EGL_PLATFORM_SURFACELESS_MESA,
                                           reinterpret_cast<void*>(EGL_DEFAULT_DISPLAY), nullptr);
    EGLint major = 0, minor = 0;
    if (display_ == EGL_NO_DISPLAY || !eglInitialize(display_, &major, &minor)) {
      display_ = EGL_NO_DISPLAY;
      *why = x && *x ? std::string("no EGL on display ") + x
                     : "no EGL without a display (set DISPLAY, e.g. run under xvfb-run)";
      return false;
    }
    const EGLint wanted[] = {EGL_SURFACE_TYPE,
                             EGL_PBUFFER_BIT,
                             EGL_RED_SIZE,
                             8,
                             EGL_GREEN_SIZE,
                             8,
                             EGL_BLUE_SIZE,
                             8,
                             EGL_DEPTH_SIZE,
                             24,
                             EGL_RENDERABLE_TYPE,
                             EGL_OPENGL_BIT,
                             EGL_NONE};
    EGLConfig config;
    EGLint found = 0;
    if (!eglChooseConfig(display_, wanted, &config, 1, &found) || found < 1 ||
        !eglBindAPI(EGL_OPENGL_API)) {
      *why = "no OpenGL configuration with a depth buffer";
      return false;
    }
    context_ = eglCreateContext(display_, config, EGL_NO_CONTEXT, nullptr);
    if (context_ == EGL_NO_CONTEXT ||
        !eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_)) {
      *why = "cannot make an OpenGL context current without a surface";
      return false;
    }
    return true;
  }

 private:
  EGLDisplay display_ = EGL_NO_DISPLAY;
  EGLContext context_ = EGL_NO_CONTEXT;
};

bool writeAll(int fd, const unsigned char* data, size_t length) {
  while (length > 0) {
    const ssize_t wrote = write(fd, data, length);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    data += wrote;
    length -= static_cast<size_t>(wrote);
  }
  return true;
}

// Every thread of this process back at the default priority: once the
// simulation has ended, the frames still queued are all that is left to do.
// Best effort: without the privilege to raise a priority they stay low.
void allThreadsAtDefaultPriority() {
  DIR* tasks = opendir("/proc/self/task");
  if (!tasks) return;
  while (const dirent* task = readdir(tasks)) {
    const long tid = std::strtol(task->d_name, nullptr, 10);
    if (tid > 0) setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 0);
  }
  closedir(tasks);
}

}  // namespace

Video::~Video() {
  close();
}

bool Video::open(const std::string& file, KALVENT_LEGGED_SDK::LeggedType robot) {
  // Mesa's software renderer rasterizes on a team of threads that meet at
  // every frame; on a loaded machine one late thread holds up the frame (a
  // 2 s film took 9.6 s there, 5.2 s drawn on one thread). Set here, on the one thread
  // there is before the simulation starts, unless the user chose otherwise.
  setenv("LP_NUM_THREADS", "0", 0);
  model_ = loadQuadruped(robot);
  file_ = file;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    std::fprintf(stderr, "%s: cannot make a pipe to ffmpeg: %s\n", kProgram, std::strerror(errno));
    return false;
  }
  const std::string size = std::to_string(kWidth) + "x" + std::to_string(kHeight);
  const std::string rate = std::to_string(kFramesPerSecond);
  encoder_ = fork();
  if (encoder_ == 0) {
    // The simulator's stdout carries only its own lines.
    if (dup2(fds[0], STDIN_FILENO) < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) _exit(127);
    execlp("ffmpeg", "ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt",
           "rgb24", "-s", size.c_str(), "-framerate", rate.c_str(), "-i", "pipe:0", "-vf", "vflip",
           "-pix_fmt", "yuv420p", file.c_str(), static_cast<char*>(nullptr));
    std::fprintf(stderr, "%s: cannot run ffmpeg: %s\n", kProgram, std::strerror(errno));
    _exit(127);
  }
  ::close(fds[0]);
  if (encoder_ < 0) {
    ::close(fds[1]);
    std::fprintf(stderr, "%s: cannot start ffmpeg: %s\n", kProgram, std::strerror(errno));
    return false;
  }
  pipe_ = fds[1];
  // A failed encoder shows as a failed write, not as a signal ending the run.
  signal(SIGPIPE, SIG_IGN);

  // Mesa's software renderer draws on one thread unless told otherwise: the
  // rest of the machine is the simulation's and its control program's. Set
  // while the program has no other thread to read the environment.
  setenv("LP_NUM_THREADS", "1", 0);
  std::promise<bool> started;
  std::future<bool> ready = started.get_future();
  thread_ = std::thread(&Video::render, this, std::move(started));
  if (!ready.get()) {
    thread_.join();
    ::close(pipe_);
    kill(encoder_, SIGKILL);
    waitpid(encoder_, nullptr, 0);
    encoder_ = -1;
    return false;
  }
  return true;
}

void Video::offer(double seconds, const double* qpos) {
  if (!thread_.joinable()) return;
  const uint64_t due = static_cast<uint64_t>(seconds * kFramesPerSecond + 1e-6) + 1;
  if (qpos) last_.assign(qpos, qpos + model_->nq);
  if (framesQueued_ >= due || last_.empty()) return;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    for (; framesQueued_ < due; ++framesQueued_) queue_.push_back(last_);
  }
  wake_.notify_one();
}

void Video::render(std::promise<bool> started) {
  // The simulation comes first: this thread, and the threads Mesa's software
  // renderer starts from it, run at the lowest priority.
  setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kRenderNice);
  GlContext gl;
  std::string why;
  if (!gl.make(&why)) {
    std::fprintf(stderr, "%s: cannot render %s: %s\n", kProgram, file_.c_str(), why.c_str());
    started.set_value(false);
    return;
  }
  const mjModel& m = *model_;
  const DataPtr data(mj_makeData(&m));
  mjvScene scene;
  mjvCamera camera;
  mjvOption option;
  mjrContext context;
  mjv_defaultScene(&scene);
  mjv_defaultCamera(&camera);
  mjv_defaultOption(&option);
  mjr_defaultContext(&context);
  mjv_makeScene(&m, &scene, 1000);
  mjr_makeContext(&m, &context, mjFONTSCALE_150);
  mjr_setBuffer(mjFB_OFFSCREEN, &context);
  camera.type = mjCAMERA_TRACKING;
  camera.trackbodyid = mj_name2id(&m, mjOBJ_BODY, "trunk");
  camera.distance = kCameraDistance;
  camera.azimuth = kCameraAzimuth;
  camera.elevation = kCameraElevation;
  const mjrRect viewport{0, 0, kWidth, kHeight};
  std::vector<unsigned char> rgb(3 * kWidth * kHeight);
  started.set_value(true);

  for (uint64_t frame = 0;; ++frame) {
    std::vector<double> positions;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return closing_ || !queue_.empty(); });
      if (queue_.empty()) break;
      positions = std::move(queue_.front());
      queue_.pop_front();
      if (failed_) continue;
    }
    mju_copy(data->qpos, positions.data(), m.nq);
    mj_forward(&m, data.get());
    mjv_updateScene(&m, data.get(), &option, nullptr, &camera, mjCAT_ALL, &scene);
    mjr_render(viewport, &scene, &context);
    char time[32];
    std::snprintf(time, sizeof time, "t = %.2f s", static_cast<double>(frame) / kFramesPerSecond);
    mjr_overlay(mjFONT_NORMAL, mjGRID_TOPLEFT, viewport, time, nullptr, &context);
    mjr_readPixels(rgb.data(), nullptr, viewport, &context);
    if (!writeAll(pipe_, rgb.data(), rgb.size())) {
      const std::lock_guard<std::mutex> lock(mutex_);
      failed_ = true;
    }
  }
  mjr_freeContext(&context);
  mjv_freeScene(&scene);
}

bool Video::close() {
  if (encoder_ < 0) return true;
  if (thread_.joinable()) {
    size_t queued = 0;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
      queued = queue_.size();
    }
    // On a loaded machine the renderer, kept at the lowest priority while
    // the robot was simulated, may be far behind: say why the end waits.
    if (queued > kFramesPerSecond) {
      std::fprintf(stderr, "%s: rendering the last %zu frames of %s\n", kProgram, queued,
                   file_.c_str());
    }
    allThreadsAtDefaultPriority();
    wake_.notify_one();
    thread_.join();
  }
  ::close(pipe_);
  int status = 0;
  while (waitpid(encoder_, &status, 0) < 0 && errno == EINTR) {
  }
  encoder_ = -1;
  if (failed_ || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "%s: ffmpeg could not write %s\n", kProgram, file_.c_str());
    return false;
  }
  return true;
}

}  // namespace kalvent_sim
