#pragma once

#include <chrono>
#include <functional>
#include <memory>

#include "platform/services.h"

namespace picferry {

// The platform of a real process: an Asio run loop on the main thread, a
// background thread for the watchdog, signals, standard input on a reader
// thread, the file system, file descriptor 1 and _exit. Constructing it starts
// no thread, reads nothing and changes no signal disposition except SIGPIPE,
// which it ignores so that writing to a closed standard output cannot kill
// the process. Everything obtained from it must go before it does.
class RealPlatform {
 public:
  RealPlatform();
  ~RealPlatform();
  RealPlatform(const RealPlatform&) = delete;
  RealPlatform& operator=(const RealPlatform&) = delete;

  Platform services();
  MainQueue& mainQueue();
  // Services the main queue on the calling thread for ever.
  void run();
  // Services the main queue on the calling thread until `done` holds (checked
  // before each piece of work) or `timeout` has passed; returns done(). For
  // tests, since run() never returns.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace picferry
