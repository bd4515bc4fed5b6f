#pragma once

#include <string>
#include <vector>

namespace picferry {

// The names libgphoto2 leaves out of a folder listing. Its ptp2 driver lists
// only the first of several objects of one name in a folder: it logs
// "Duplicate filename 'NAME' in folder 'FOLDER'. Ignoring nth entry." and goes
// on, and its calls reach an object by folder and name only, so the others
// can be neither listed nor copied. While an instance lives and someone
// listens, the names left out by libgphoto2 calls made on this thread are
// collected. Instances do not nest.
class LeftOutNames {
 public:
  // Until as many stopListening() calls, libgphoto2 passes its error lines to
  // the instances. Listen only around a listing: while any log function is
  // registered, libgphoto2 formats every line it logs, a hexdump of each
  // piece read from a device included. Each takes Gphoto2Alone (its list of
  // log functions is an unguarded global): call with no libgphoto2 lock held.
  static void listen();
  static void stopListening();

  LeftOutNames();
  ~LeftOutNames();
  LeftOutNames(const LeftOutNames&) = delete;
  LeftOutNames& operator=(const LeftOutNames&) = delete;

  // One entry per object left out. ptp2 scans a folder twice when the scan
  // itself loaded new objects, as the first listing of a folder does, and logs
  // each object left out on each scan; it never scans more than twice. Half
  // the lines, rounded up, is therefore exact after two scans and never too
  // many after one.
  std::vector<std::string> names() const;

  // The name a libgphoto2 log line says was left out, or "" when it says
  // nothing of the kind.
  static std::string leftOutName(const std::string& logLine);

 private:
  std::vector<std::string> lines_;  // a name for each line logged
};

}  // namespace picferry
