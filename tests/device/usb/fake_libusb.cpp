// A stand-in libusb-1.0.so.0 for the tests: emulated USB devices answering PTP.
//
// Only the 29 functions Debian's libgphoto2 usb1 port driver imports exist. Put the
// directory holding this library first on LD_LIBRARY_PATH of the process under test and
// name a folder in PICFERRY_USB_EMULATOR: every "*.conf" file in it is one plugged-in
// device (README.md in this folder describes the format). A device whose file is removed
// is unplugged; the file is read again on every device listing and every open, so its
// switches may be changed (by renaming a new file over it) while the process runs.
//
// The PTP responder runs inside this library, on the caller's thread: a command written
// to the bulk OUT endpoint queues its data and response containers, which bulk IN reads
// return packet by packet; events go out on the interrupt endpoint through the
// asynchronous transfers the port driver queues.

#include <libusb-1.0/libusb.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cerrno>
#include <iomanip>
#include <set>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kPlaceholderStorage = 0xFEEDFACE;
constexpr uint32_t kStorage = 0x00010001;
constexpr uint32_t kFirstHandle = 0x01000000;  // clear of the storage id iPhones use as parent
constexpr int kPacket = 512;                   // high-speed bulk packet size

enum Profile { kIphone, kAndroid, kCamera };

// PTP operation, response and event codes.
enum : uint16_t {
  kGetDeviceInfo = 0x1001,
  kOpenSession = 0x1002,
  kCloseSession = 0x1003,
  kGetStorageIDs = 0x1004,
  kGetStorageInfo = 0x1005,
  kGetObjectHandles = 0x1007,
  kGetObjectInfo = 0x1008,
  kGetObject = 0x1009,
  kGetThumb = 0x100A,
  kGetPartialObject = 0x101B,
  kOk = 0x2001,
  kGeneralError = 0x2002,
  kSessionNotOpen = 0x2003,
  kOperationNotSupported = 0x2005,
  kInvalidStorageId = 0x2008,
  kInvalidObjectHandle = 0x2009,
  kSessionAlreadyOpen = 0x201E,
  kStoreAdded = 0x4004,
  kStoreRemoved = 0x4005,
  kAppleUnknownEvent = 0xC001,  // sent between the two by an iPhone (libgphoto2 issue 132)
};

struct Config {
  std::string plug;  // changes at every plug: a replug is a fresh device
  int bus = 1;
  int address = 2;
  Profile profile = kCamera;
  uint16_t vendor = 0;
  uint16_t product = 0;
  std::string name;        // DeviceInfo model
  std::string sysfs;       // the device's sysfs folder, removed when it unplugs itself
  std::string root;        // host folder served as the storage
  struct Generated {
    std::string path;
    uint64_t size;
    int64_t mtime;
  };
  std::vector<Generated> generated;
  std::vector<std::pair<std::string, std::string>> duplicates;  // device path, host file
  bool busy = false;
  double unlockAt = 0;  // wall-clock seconds; < 0: never
  double eventsDelay = 0;   // from the storage change at unlock to its events; < 0: before
  bool eventsLost = false;  // the storage change at unlock is never told
  int64_t unplugAfter = -1;
  int64_t stallAfter = -1;
  bool oneSession = false;
};

struct Object {
  uint32_t handle = 0;
  uint32_t parent = 0;  // 0: at the storage root
  bool folder = false;
  std::string name;
  uint64_t size = 0;
  int64_t mtime = 0;
  uint16_t format = 0x3000;
  std::string host;  // empty: generated content
  // The thumbnail a camera keeps of a JPEG: its EXIF thumbnail, served by GetThumb
  // from where it lies in the file (size 0: none).
  uint64_t thumbOffset = 0;
  uint32_t thumbSize = 0;
  uint32_t thumbWidth = 0;
  uint32_t thumbHeight = 0;
};

// A container queued for the bulk IN endpoint: `head` then `dataSize` bytes of an object.
struct Container {
  std::string head;
  const Object* object = nullptr;
  uint64_t objectOffset = 0;
  uint64_t dataSize = 0;
  uint64_t position = 0;
  uint64_t total() const { return head.size() + dataSize; }
};

}  // namespace

struct libusb_context {
  std::vector<libusb_device_handle*> handles;
};

struct libusb_device {
  std::string confPath;
  Config config;
  bool present = false;
  unsigned generation = 0;  // counts plugs: a handle opened before a replug is dead
  Clock::time_point lastPresenceCheck{};
  libusb_device_descriptor descriptor{};
  std::vector<libusb_config_descriptor> configs;
  // Storage for the descriptors' arrays.
  std::vector<std::unique_ptr<libusb_interface[]>> interfaceArrays;
  std::vector<std::unique_ptr<libusb_interface_descriptor[]>> altsettingArrays;
  std::vector<std::unique_ptr<libusb_endpoint_descriptor[]>> endpointArrays;

  // The responder's state, reset at every plug.
  std::vector<Object> objects;
  bool sessionOpen = false;
  double sessionOpenedAt = 0;  // wall clock
  int sessionsOpened = 0;
  bool sessionClosed = false;
  bool storageEventsQueued = false;  // this session's storage change has been told
  std::deque<std::string> events;
  std::deque<Container> in;
  bool zeroLengthPacketPending = false;
  uint64_t objectBytesSent = 0;
  bool stallFired = false;
  int fd = -1;
  uint32_t fdHandle = 0;
};

struct libusb_device_handle {
  libusb_device* device;
  unsigned generation;
  libusb_context* context;
  std::deque<libusb_transfer*> submitted;  // interrupt transfers waiting for an event
  std::vector<libusb_transfer*> cancelled;
  int claim = -1;  // the lock that stands for the kernel's claim of the interface
};

namespace {

std::mutex g_mutex;
std::map<std::string, std::unique_ptr<libusb_device>> g_devices;  // by configuration file
std::set<libusb_context*> g_contexts;
// The port driver lists the devices through a port's context right before it opens one,
// on the same thread: the handle is polled through that context.
thread_local libusb_context* t_listedThrough = nullptr;

double wallNow() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

std::string rest(std::istringstream& in) {
  std::string text;
  std::getline(in, text);
  auto start = text.find_first_not_of(' ');
  return start == std::string::npos ? std::string() : text.substr(start);
}

bool parseConfig(const std::string& path, Config* config) {
  FILE* file = std::fopen(path.c_str(), "re");
  if (!file) return false;
  char line[8192];
  while (std::fgets(line, sizeof line, file)) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::istringstream in(text);
    std::string key;
    if (!(in >> key) || key[0] == '#') continue;
    if (key == "plug") in >> config->plug;
    else if (key == "bus") in >> config->bus;
    else if (key == "address") in >> config->address;
    else if (key == "vendor") { unsigned v; in >> std::hex >> v; config->vendor = static_cast<uint16_t>(v); }
    else if (key == "product") { unsigned v; in >> std::hex >> v; config->product = static_cast<uint16_t>(v); }
    else if (key == "profile") {
      std::string p;
      in >> p;
      config->profile = p == "iphone" ? kIphone : p == "android" ? kAndroid : kCamera;
    }
    else if (key == "name") config->name = rest(in);
    else if (key == "sysfs") config->sysfs = rest(in);
    else if (key == "root") config->root = rest(in);
    else if (key == "generated") {
      Config::Generated g{};
      in >> g.size >> g.mtime;
      g.path = rest(in);
      config->generated.push_back(g);
    } else if (key == "duplicate") {
      std::string host, devicePath;
      in >> std::quoted(host);
      devicePath = rest(in);
      config->duplicates.emplace_back(devicePath, host);
    }
    else if (key == "busy") in >> config->busy;
    else if (key == "unlock_at") in >> config->unlockAt;
    else if (key == "events_delay") in >> config->eventsDelay;
    else if (key == "events_lost") in >> config->eventsLost;
    else if (key == "unplug_after") in >> config->unplugAfter;
    else if (key == "stall_after") in >> config->stallAfter;
    else if (key == "one_session") in >> config->oneSession;
  }
  std::fclose(file);
  return true;
}

// ---- descriptors ---------------------------------------------------------------------

struct InterfaceSpec {
  uint8_t cls, subclass, protocol;
  std::vector<std::pair<uint8_t, uint8_t>> endpoints;  // address, attributes
};

void addConfig(libusb_device* d, uint8_t value, const std::vector<InterfaceSpec>& specs) {
  auto interfaces = std::make_unique<libusb_interface[]>(specs.size());
  auto alts = std::make_unique<libusb_interface_descriptor[]>(specs.size());
  for (std::size_t i = 0; i < specs.size(); ++i) {
    auto endpoints = std::make_unique<libusb_endpoint_descriptor[]>(specs[i].endpoints.size() + 1);
    for (std::size_t e = 0; e < specs[i].endpoints.size(); ++e) {
      libusb_endpoint_descriptor& ep = endpoints[e];
      ep = {};
      ep.bLength = LIBUSB_DT_ENDPOINT_SIZE;
      ep.bDescriptorType = LIBUSB_DT_ENDPOINT;
      ep.bEndpointAddress = specs[i].endpoints[e].first;
      ep.bmAttributes = specs[i].endpoints[e].second;
      ep.wMaxPacketSize = ep.bmAttributes == LIBUSB_TRANSFER_TYPE_INTERRUPT ? 64 : kPacket;
      ep.bInterval = ep.bmAttributes == LIBUSB_TRANSFER_TYPE_INTERRUPT ? 8 : 0;
    }
    libusb_interface_descriptor& alt = alts[i];
    alt = {};
    alt.bLength = LIBUSB_DT_INTERFACE_SIZE;
    alt.bDescriptorType = LIBUSB_DT_INTERFACE;
    alt.bInterfaceNumber = static_cast<uint8_t>(i);
    alt.bNumEndpoints = static_cast<uint8_t>(specs[i].endpoints.size());
    alt.bInterfaceClass = specs[i].cls;
    alt.bInterfaceSubClass = specs[i].subclass;
    alt.bInterfaceProtocol = specs[i].protocol;
    alt.endpoint = endpoints.get();
    interfaces[i].altsetting = &alts[i];
    interfaces[i].num_altsetting = 1;
    d->endpointArrays.push_back(std::move(endpoints));
  }
  libusb_config_descriptor config{};
  config.bLength = LIBUSB_DT_CONFIG_SIZE;
  config.bDescriptorType = LIBUSB_DT_CONFIG;
  config.bNumInterfaces = static_cast<uint8_t>(specs.size());
  config.bConfigurationValue = value;
  config.bmAttributes = 0xC0;
  config.MaxPower = 250;
  config.interface = interfaces.get();
  d->configs.push_back(config);
  d->interfaceArrays.push_back(std::move(interfaces));
  d->altsettingArrays.push_back(std::move(alts));
}

void buildDescriptors(libusb_device* d) {
  const Config& c = d->config;
  libusb_device_descriptor& desc = d->descriptor;
  desc = {};
  desc.bLength = LIBUSB_DT_DEVICE_SIZE;
  desc.bDescriptorType = LIBUSB_DT_DEVICE;
  desc.bcdUSB = 0x0200;
  desc.bMaxPacketSize0 = 64;
  desc.idVendor = c.vendor;
  desc.idProduct = c.product;
  desc.bcdDevice = 0x0100;
  const InterfaceSpec ptp{6, 1, 1, {}};
  if (c.profile == kIphone) {
    // A real iPhone: 1 "PTP", 2 "iPod USB Interface", 3 "PTP + Apple Mobile Device",
    // 4 "PTP + Apple Mobile Device + Apple USB Ethernet" (usbmuxd's).
    InterfaceSpec p = ptp;
    p.endpoints = {{0x02, LIBUSB_TRANSFER_TYPE_BULK},
                   {0x81, LIBUSB_TRANSFER_TYPE_BULK},
                   {0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT}};
    InterfaceSpec mux{0xff, 0xfe, 2, {{0x04, LIBUSB_TRANSFER_TYPE_BULK}, {0x85, LIBUSB_TRANSFER_TYPE_BULK}}};
    addConfig(d, 1, {p});
    addConfig(d, 2, {{1, 1, 0, {}}, {1, 2, 0, {}}, {3, 0, 0, {{0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT}}}});
    addConfig(d, 3, {p, mux});
    addConfig(d, 4, {p, mux});
  } else if (c.profile == kAndroid) {
    InterfaceSpec p = ptp;
    p.endpoints = {{0x81, LIBUSB_TRANSFER_TYPE_BULK},
                   {0x01, LIBUSB_TRANSFER_TYPE_BULK},
                   {0x82, LIBUSB_TRANSFER_TYPE_INTERRUPT}};
    addConfig(d, 1, {p});
  } else {
    InterfaceSpec p = ptp;
    p.endpoints = {{0x81, LIBUSB_TRANSFER_TYPE_BULK},
                   {0x02, LIBUSB_TRANSFER_TYPE_BULK},
                   {0x83, LIBUSB_TRANSFER_TYPE_INTERRUPT}};
    addConfig(d, 1, {p});
  }
  desc.bNumConfigurations = static_cast<uint8_t>(d->configs.size());
}

// ---- the device's objects ------------------------------------------------------------

std::string lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

uint16_t formatOf(Profile profile, const std::string& name) {
  auto dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? "" : lower(name.substr(dot + 1));
  if (ext == "jpg" || ext == "jpeg") return 0x3801;
  if (ext == "heic") return profile == kIphone ? 0x3801 : 0x3000;  // sent as JPEG
  if (ext == "png") return 0x380B;
  if (ext == "mov") return 0x300D;
  if (ext == "mp4") return 0x300B;
  if (ext == "cr3") return 0xB108;
  return 0x3000;  // AAE, XMP, anything else: Undefined
}

uint32_t findChild(libusb_device* d, uint32_t parent, const std::string& name, bool folder) {
  for (const Object& o : d->objects) {
    if (o.parent == parent && o.folder == folder && o.name == name) return o.handle;
  }
  return 0;
}

Object& addObject(libusb_device* d, uint32_t parent, const std::string& name, bool folder) {
  Object o;
  o.handle = kFirstHandle + static_cast<uint32_t>(d->objects.size());
  o.parent = parent;
  o.folder = folder;
  o.name = name;
  o.format = folder ? 0x3001 : formatOf(d->config.profile, name);
  d->objects.push_back(o);
  return d->objects.back();
}

// The EXIF thumbnail of a JPEG host file, as a camera serves it (PTP 1.1, 10.5.10
// GetThumb: the object's thumbnail in its ThumbFormat, here EXIF/JPEG 0x3801): where it
// lies in the file (IFD1's JPEGInterchangeFormat and its length) and its size in pixels.
void findExifThumbnail(Object& o) {
  FILE* file = std::fopen(o.host.c_str(), "rbe");
  if (!file) return;
  std::string head(256 << 10, '\0');
  head.resize(std::fread(head.data(), 1, head.size(), file));
  std::fclose(file);
  auto byte = [&](std::size_t at) -> uint32_t {
    return at < head.size() ? static_cast<unsigned char>(head[at]) : 0;
  };
  if (byte(0) != 0xFF || byte(1) != 0xD8) return;
  std::size_t at = 2;
  while (at + 10 < head.size() && byte(at) == 0xFF && byte(at + 1) != 0xDA) {
    std::size_t length = byte(at + 2) << 8 | byte(at + 3);
    if (byte(at + 1) == 0xE1 && head.compare(at + 4, 6, std::string("Exif\0\0", 6)) == 0) break;
    at += 2 + length;
  }
  if (at + 10 >= head.size() || byte(at + 1) != 0xE1) return;
  const std::size_t tiff = at + 10;
  const bool big = byte(tiff) == 'M';
  auto u16 = [&](std::size_t p) { return big ? byte(p) << 8 | byte(p + 1) : byte(p + 1) << 8 | byte(p); };
  auto u32 = [&](std::size_t p) { return big ? u16(p) << 16 | u16(p + 2) : u16(p + 2) << 16 | u16(p); };
  std::size_t ifd0 = tiff + u32(tiff + 4);
  std::size_t ifd1 = tiff + u32(ifd0 + 2 + 12 * u16(ifd0));
  if (ifd1 == tiff) return;
  uint32_t offset = 0, size = 0;
  for (uint32_t i = 0, n = u16(ifd1); i < n && i < 64; ++i) {
    std::size_t entry = ifd1 + 2 + 12 * i;
    if (u16(entry) == 0x0201) offset = u32(entry + 8);
    if (u16(entry) == 0x0202) size = u32(entry + 8);
  }
  const std::size_t start = tiff + offset;
  if (!offset || !size || start + size > head.size()) return;
  for (std::size_t p = start + 2; p + 9 < start + size && byte(p) == 0xFF;
       p += 2 + (byte(p + 2) << 8 | byte(p + 3))) {
    if (byte(p + 1) == 0xC0 || byte(p + 1) == 0xC2) {
      o.thumbHeight = byte(p + 5) << 8 | byte(p + 6);
      o.thumbWidth = byte(p + 7) << 8 | byte(p + 8);
      o.thumbOffset = start;
      o.thumbSize = size;
      return;
    }
  }
}

void walk(libusb_device* d, const std::string& dir, uint32_t parent) {
  DIR* handle = opendir(dir.c_str());
  if (!handle) return;
  std::vector<std::string> names;
  while (dirent* e = readdir(handle)) {
    if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.emplace_back(e->d_name);
  }
  closedir(handle);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string path = dir + "/" + name;
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      Object& folder = addObject(d, parent, name, true);
      folder.mtime = st.st_mtime;
      uint32_t handleOfFolder = folder.handle;
      walk(d, path, handleOfFolder);
    } else {
      Object& file = addObject(d, parent, name, false);
      file.size = static_cast<uint64_t>(st.st_size);
      file.mtime = st.st_mtime;
      file.host = path;
      if (file.format == 0x3801) findExifThumbnail(file);
    }
  }
}

// The folder object for a device path's folder part, made as needed; 0 for the root.
uint32_t folderFor(libusb_device* d, const std::string& path, std::string* base) {
  uint32_t parent = 0;
  std::size_t start = 0;
  for (;;) {
    auto slash = path.find('/', start);
    if (slash == std::string::npos) {
      *base = path.substr(start);
      return parent;
    }
    std::string part = path.substr(start, slash - start);
    start = slash + 1;
    if (part.empty()) continue;
    uint32_t found = findChild(d, parent, part, true);
    if (!found) found = addObject(d, parent, part, true).handle;
    parent = found;
  }
}

void buildObjects(libusb_device* d) {
  if (!d->config.root.empty()) walk(d, d->config.root, 0);
  for (const Config::Generated& g : d->config.generated) {
    std::string base;
    uint32_t parent = folderFor(d, g.path, &base);
    Object& o = addObject(d, parent, base, false);
    o.size = g.size;
    o.mtime = g.mtime;
  }
  for (const auto& [devicePath, host] : d->config.duplicates) {
    std::string base;
    uint32_t parent = folderFor(d, devicePath, &base);
    struct stat st {};
    stat(host.c_str(), &st);
    Object& o = addObject(d, parent, base, false);
    o.size = static_cast<uint64_t>(st.st_size);
    o.mtime = st.st_mtime;
    o.host = host;
  }
}

const Object* objectOf(libusb_device* d, uint32_t handle) {
  if (handle < kFirstHandle || handle - kFirstHandle >= d->objects.size()) return nullptr;
  return &d->objects[handle - kFirstHandle];
}

// The generated content: in each MiB, its index (8 bytes, little-endian), then a fixed
// pseudo-random block. tests/device/usb/usb_emulator.py computes the same.
inline uint8_t patternByte(uint64_t offset) {
  uint64_t block = offset >> 20;
  uint32_t within = static_cast<uint32_t>(offset & 0xFFFFF);
  if (within < 8) return static_cast<uint8_t>(block >> (8 * within));
  return static_cast<uint8_t>((within * 2654435761u) >> 24);
}

bool readObject(libusb_device* d, const Object& o, uint64_t offset, unsigned char* out,
                std::size_t n) {
  if (o.host.empty()) {
    for (std::size_t i = 0; i < n; ++i) out[i] = patternByte(offset + i);
    return true;
  }
  if (d->fdHandle != o.handle || d->fd < 0) {
    if (d->fd >= 0) close(d->fd);
    d->fd = open(o.host.c_str(), O_RDONLY | O_CLOEXEC);
    d->fdHandle = o.handle;
  }
  std::size_t done = 0;
  while (d->fd >= 0 && done < n) {
    ssize_t got = pread(d->fd, out + done, n - done, static_cast<off_t>(offset + done));
    if (got <= 0) break;
    done += static_cast<std::size_t>(got);
  }
  if (done < n) std::memset(out + done, 0, n - done);  // shortened on the host: zeros
  return true;
}

// ---- PTP datasets --------------------------------------------------------------------

void put16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xff);
  s += static_cast<char>(v >> 8);
}
void put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xff);
}
void put64(std::string& s, uint64_t v) {
  for (int i = 0; i < 8; ++i) s += static_cast<char>((v >> (8 * i)) & 0xff);
}
uint16_t get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t get32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void putString(std::string& s, const std::string& utf8) {
  std::vector<uint16_t> units;
  for (std::size_t i = 0; i < utf8.size();) {
    unsigned char c = static_cast<unsigned char>(utf8[i]);
    uint32_t cp;
    int len;
    if (c < 0x80) { cp = c; len = 1; }
    else if ((c >> 5) == 6) { cp = c & 0x1f; len = 2; }
    else if ((c >> 4) == 14) { cp = c & 0x0f; len = 3; }
    else { cp = c & 0x07; len = 4; }
    for (int k = 1; k < len && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3f);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      units.push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
      units.push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3ff)));
    } else {
      units.push_back(static_cast<uint16_t>(cp));
    }
  }
  if (units.empty()) {
    s += '\0';
    return;
  }
  if (units.size() > 254) units.resize(254);
  s += static_cast<char>(units.size() + 1);
  for (uint16_t u : units) put16(s, u);
  put16(s, 0);
}

void putArray16(std::string& s, const std::vector<uint16_t>& values) {
  put32(s, static_cast<uint32_t>(values.size()));
  for (uint16_t v : values) put16(s, v);
}

std::string ptpDate(int64_t t) {
  if (t <= 0) return "";
  time_t tt = static_cast<time_t>(t);
  struct tm tm {};
  localtime_r(&tt, &tm);
  char buffer[32];
  std::strftime(buffer, sizeof buffer, "%Y%m%dT%H%M%S", &tm);
  return buffer;
}

std::string deviceInfo(const libusb_device* d) {
  const Config& c = d->config;
  std::string s;
  put16(s, 100);
  std::string manufacturer, model = c.name, extension;
  uint32_t vendorExtension = 0;
  if (c.profile == kIphone) {
    manufacturer = "Apple Inc.";
    if (model.empty()) model = "Apple iPhone";
  } else if (c.profile == kAndroid) {
    manufacturer = "Google";
    if (model.empty()) model = "Pixel 7";
    vendorExtension = 6;  // Microsoft: MTP
    extension = "microsoft.com: 1.0; android.com: 1.0;";
  } else {
    manufacturer = "Canon Inc.";
    if (model.empty()) model = "Canon EOS R6";
  }
  put32(s, vendorExtension);
  put16(s, 100);
  putString(s, extension);
  put16(s, 0);
  putArray16(s, {kGetDeviceInfo, kOpenSession, kCloseSession, kGetStorageIDs, kGetStorageInfo,
                 kGetObjectHandles, kGetObjectInfo, kGetObject, kGetThumb, kGetPartialObject});
  putArray16(s, {0x4002, 0x4003, kStoreAdded, kStoreRemoved});
  putArray16(s, {});
  putArray16(s, {});
  putArray16(s, {0x3000, 0x3001, 0x3801, 0x380B, 0x300D, 0x300B});
  putString(s, manufacturer);
  putString(s, model);
  putString(s, "1.0");
  putString(s, "00008110-000A1C2E3C38801E");
  return s;
}

void logLine(const std::string& what);

// ---- the responder -------------------------------------------------------------------

// The phone's storages follow its own clock, never what the host has read: they change
// when the owner unlocks it (iPhone: the placeholder gives way to the real storage) or
// allows transfers (Android: the storage appears), and its events about the change wait on
// the interrupt endpoint until the host reads them, if ever.

// An iPhone answers a fresh session with the placeholder even when unlocked, then swaps in
// its real storage with the same events (libgphoto2 issue 132: "using the command on an
// unlocked iPhone still shows the same events, including 0xfeedface"). How long it takes
// is not published; 0.2 s is longer than the first event poll of a host.
constexpr double kFreshSessionPlaceholder = 0.2;
constexpr double kNever = HUGE_VAL;

bool unlockedDuringSession(const libusb_device* d) {
  return d->config.unlockAt > d->sessionOpenedAt;
}

// When this session's storages become the real ones.
double storageChangeAt(const libusb_device* d) {
  const Config& c = d->config;
  if (c.profile == kCamera) return -kNever;
  if (c.unlockAt < 0) return kNever;
  if (c.profile == kIphone && !unlockedDuringSession(d)) {
    return d->sessionOpenedAt + kFreshSessionPlaceholder;
  }
  return c.unlockAt;
}

// When the events telling this session's storage change reach the interrupt endpoint. A
// fresh iPhone session tells its swap as it happens; the change at unlock follows the
// device's switches. An Android phone allowed before the session shows its storage at once.
double storageEventsAt(const libusb_device* d) {
  double change = storageChangeAt(d);
  if (d->config.profile == kCamera || change == kNever) return kNever;
  if (!unlockedDuringSession(d)) return d->config.profile == kIphone ? change : kNever;
  return d->config.eventsLost ? kNever : change + d->config.eventsDelay;
}

std::vector<uint32_t> storageIds(libusb_device* d) {
  if (wallNow() >= storageChangeAt(d)) return {kStorage};
  if (d->config.profile == kIphone) return {kPlaceholderStorage};
  return {};  // Android: until "Allow" or "File transfer" is tapped
}

bool storageVisible(libusb_device* d, uint32_t id) {
  auto ids = storageIds(d);
  return id == 0xFFFFFFFF || std::find(ids.begin(), ids.end(), id) != ids.end();
}

std::string containerHead(uint16_t type, uint16_t code, uint32_t transaction, uint64_t length) {
  std::string s;
  put32(s, length > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(length));
  put16(s, type);
  put16(s, code);
  put32(s, transaction);
  return s;
}

void queueData(libusb_device* d, uint16_t code, uint32_t transaction, const std::string& payload) {
  Container c;
  c.head = containerHead(2, code, transaction, 12 + payload.size()) + payload;
  d->in.push_back(std::move(c));
}

void queueObjectData(libusb_device* d, uint16_t code, uint32_t transaction, const Object* o,
                     uint64_t offset, uint64_t size) {
  Container c;
  c.head = containerHead(2, code, transaction, 12 + size);
  c.object = o;
  c.objectOffset = offset;
  c.dataSize = size;
  d->in.push_back(std::move(c));
}

void queueResponse(libusb_device* d, uint16_t code, uint32_t transaction,
                   std::vector<uint32_t> params = {}) {
  Container c;
  c.head = containerHead(3, code, transaction, 12 + 4 * params.size());
  for (uint32_t p : params) put32(c.head, p);
  d->in.push_back(std::move(c));
}

void queueEvent(libusb_device* d, uint16_t code, uint32_t param) {
  std::string e = containerHead(4, code, 0xFFFFFFFF, 16);
  put32(e, param);
  d->events.push_back(std::move(e));
}

std::string objectInfo(libusb_device* d, const Object& o) {
  std::string s;
  put32(s, kStorage);
  put16(s, o.format);
  put16(s, 0);
  put32(s, o.size >= 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(o.size));
  put16(s, o.thumbSize ? 0x3801 : 0);  // thumb format
  put32(s, o.thumbSize);                // thumb compressed size
  put32(s, o.thumbWidth);
  put32(s, o.thumbHeight);
  put32(s, 0);
  put32(s, 0);
  put32(s, 0);
  // iPhones name the storage id as the parent of the objects at its root.
  put32(s, o.parent ? o.parent : d->config.profile == kIphone ? kStorage : 0);
  put16(s, o.folder ? 1 : 0);  // generic folder
  put32(s, 0);
  put32(s, 0);
  putString(s, o.name);
  putString(s, ptpDate(o.mtime));
  putString(s, ptpDate(o.mtime));
  putString(s, "");
  return s;
}

void handleCommand(libusb_device* d, uint16_t code, uint32_t tid, const uint32_t* p, int np) {
  d->in.clear();
  d->zeroLengthPacketPending = false;
  auto param = [&](int i) { return i < np ? p[i] : 0u; };
  if (code == kGetDeviceInfo) {
    queueData(d, code, tid, deviceInfo(d));
    queueResponse(d, kOk, tid);
    return;
  }
  if (code == kOpenSession) {
    if (d->sessionOpen) return queueResponse(d, kSessionAlreadyOpen, tid);
    if (d->config.oneSession && d->sessionClosed) return queueResponse(d, kGeneralError, tid);
    d->sessionOpen = true;
    d->sessionOpenedAt = wallNow();
    d->sessionsOpened++;
    d->storageEventsQueued = false;
    d->events.clear();
    logLine("opensession " + std::to_string(d->config.address));
    return queueResponse(d, kOk, tid);
  }
  if (!d->sessionOpen) return queueResponse(d, kSessionNotOpen, tid);
  switch (code) {
    case kCloseSession:
      d->sessionOpen = false;
      d->sessionClosed = true;
      return queueResponse(d, kOk, tid);
    case kGetStorageIDs: {
      std::string s;
      auto ids = storageIds(d);
      put32(s, static_cast<uint32_t>(ids.size()));
      for (uint32_t id : ids) put32(s, id);
      queueData(d, code, tid, s);
      return queueResponse(d, kOk, tid);
    }
    case kGetStorageInfo: {
      uint32_t id = param(0);
      if (!storageVisible(d, id) || id == 0xFFFFFFFF) return queueResponse(d, kInvalidStorageId, tid);
      std::string s;
      const bool placeholder = id == kPlaceholderStorage;
      put16(s, d->config.profile == kCamera ? 4 : 3);  // removable / fixed RAM
      put16(s, 2);                                      // generic hierarchical
      put16(s, d->config.profile == kIphone ? 2 : 0);   // read-only with deletion / rw
      put64(s, placeholder ? 0 : 128ull << 30);
      put64(s, placeholder ? 0 : 64ull << 30);
      put32(s, 0xFFFFFFFF);
      putString(s, d->config.profile == kAndroid ? "Internal shared storage"
                   : d->config.profile == kIphone ? "" : "SD");
      putString(s, "");
      queueData(d, code, tid, s);
      return queueResponse(d, kOk, tid);
    }
    case kGetObjectHandles: {
      uint32_t storage = param(0), parent = param(2);
      if (!storageVisible(d, storage)) return queueResponse(d, kInvalidStorageId, tid);
      std::string s;
      std::vector<uint32_t> handles;
      if ((storage == kStorage || storage == 0xFFFFFFFF) && storageVisible(d, kStorage)) {
        for (const Object& o : d->objects) {
          if (parent == 0 || (parent == 0xFFFFFFFF ? o.parent == 0 : o.parent == parent)) {
            handles.push_back(o.handle);
          }
        }
      }
      put32(s, static_cast<uint32_t>(handles.size()));
      for (uint32_t h : handles) put32(s, h);
      queueData(d, code, tid, s);
      return queueResponse(d, kOk, tid);
    }
    case kGetObjectInfo: {
      const Object* o = objectOf(d, param(0));
      if (!o || !storageVisible(d, kStorage)) return queueResponse(d, kInvalidObjectHandle, tid);
      queueData(d, code, tid, objectInfo(d, *o));
      return queueResponse(d, kOk, tid);
    }
    case kGetObject: {
      const Object* o = objectOf(d, param(0));
      if (!o || o->folder || !storageVisible(d, kStorage)) {
        return queueResponse(d, kInvalidObjectHandle, tid);
      }
      queueObjectData(d, code, tid, o, 0, o->size);
      return queueResponse(d, kOk, tid);
    }
    case kGetThumb: {
      const Object* o = objectOf(d, param(0));
      if (!o || o->folder || !storageVisible(d, kStorage)) {
        return queueResponse(d, kInvalidObjectHandle, tid);
      }
      if (!o->thumbSize) return queueResponse(d, 0x2010, tid);  // NoThumbnailPresent
      logLine("getthumb " + std::to_string(d->config.address) + " " + std::to_string(o->thumbSize));
      queueObjectData(d, code, tid, o, o->thumbOffset, o->thumbSize);
      return queueResponse(d, kOk, tid);
    }
    case kGetPartialObject: {
      const Object* o = objectOf(d, param(0));
      if (!o || o->folder || !storageVisible(d, kStorage)) {
        return queueResponse(d, kInvalidObjectHandle, tid);
      }
      uint64_t offset = param(1), n = param(2);
      n = offset >= o->size ? 0 : std::min<uint64_t>(n, o->size - offset);
      logLine("partial " + std::to_string(d->config.address) + " " + std::to_string(n));
      queueObjectData(d, code, tid, o, offset, n);
      return queueResponse(d, kOk, tid, {static_cast<uint32_t>(n)});
    }
    default:
      return queueResponse(d, kOperationNotSupported, tid);
  }
}

// Puts on the interrupt endpoint the events whose time has come. They can only be seen
// there, so queueing them when the endpoint is looked at is queueing them on time.
void queueDueEvents(libusb_device* d) {
  if (!d->sessionOpen || d->storageEventsQueued || wallNow() < storageEventsAt(d)) return;
  d->storageEventsQueued = true;
  if (d->config.profile == kIphone) {
    queueEvent(d, kStoreRemoved, kPlaceholderStorage);
    queueEvent(d, kAppleUnknownEvent, 0);
  }
  queueEvent(d, kStoreAdded, kStorage);
}

void resetState(libusb_device* d) {
  d->objects.clear();
  d->sessionOpen = false;
  d->sessionOpenedAt = 0;
  d->sessionsOpened = 0;
  d->sessionClosed = false;
  d->storageEventsQueued = false;
  d->events.clear();
  d->in.clear();
  d->zeroLengthPacketPending = false;
  d->objectBytesSent = 0;
  d->stallFired = false;
  if (d->fd >= 0) close(d->fd);
  d->fd = -1;
  d->fdHandle = 0;
}

void removeTree(const std::string& path) {
  if (path.empty()) return;
  if (DIR* dir = opendir(path.c_str())) {
    while (dirent* e = readdir(dir)) {
      if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, "..")) continue;
      std::string child = path + "/" + e->d_name;
      struct stat st {};
      if (lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) removeTree(child);
      else unlink(child.c_str());
    }
    closedir(dir);
  }
  rmdir(path.c_str());
}

// The device pulls itself out: its sysfs entry and its configuration file go.
void unplugSelf(libusb_device* d) {
  d->present = false;
  removeTree(d->config.sysfs);
  unlink(d->confPath.c_str());
}

// The device file as it reads now. A device not present before, or plugged again since
// (a new plug line), is a fresh device serving its content as it is at this plug; a device
// still plugged takes the new switches, and what it serves stays.
void applyConfig(libusb_device* d, const Config& config) {
  if (!d->present || config.plug != d->config.plug) {
    d->config = config;
    d->configs.clear();
    d->interfaceArrays.clear();
    d->altsettingArrays.clear();
    d->endpointArrays.clear();
    buildDescriptors(d);
    resetState(d);
    buildObjects(d);
    d->generation++;
    d->present = true;
    return;
  }
  d->config.busy = config.busy;
  d->config.unlockAt = config.unlockAt;
  d->config.eventsDelay = config.eventsDelay;
  d->config.eventsLost = config.eventsLost;
  d->config.unplugAfter = config.unplugAfter;
  d->config.stallAfter = config.stallAfter;
  d->config.oneSession = config.oneSession;
}

// Whether the device is still plugged in, its file read again at most every 50 ms: it is
// pulled out, plugged again or switched when the test does so, whatever the host calls.
bool stillPresent(libusb_device* d, bool force = false) {
  if (!d->present) return false;
  auto now = Clock::now();
  if (force || now - d->lastPresenceCheck > std::chrono::milliseconds(50)) {
    d->lastPresenceCheck = now;
    Config config;
    if (parseConfig(d->confPath, &config)) {
      applyConfig(d, config);
    } else {
      d->present = false;
    }
  }
  return d->present;
}

// A handle stays usable while the device it was opened on is plugged.
bool alive(libusb_device_handle* h, bool force = false) {
  return stillPresent(h->device, force) && h->generation == h->device->generation;
}

const char* emulatorFolder() { return std::getenv("PICFERRY_USB_EMULATOR"); }

void rescan() {
  const char* folder = emulatorFolder();
  std::vector<std::string> confs;
  if (folder) {
    if (DIR* dir = opendir(folder)) {
      while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.size() > 5 && name.compare(name.size() - 5, 5, ".conf") == 0) {
          confs.push_back(std::string(folder) + "/" + name);
        }
      }
      closedir(dir);
    }
  }
  for (auto& [path, device] : g_devices) {
    if (std::find(confs.begin(), confs.end(), path) == confs.end()) device->present = false;
  }
  for (const std::string& path : confs) {
    Config config;
    if (!parseConfig(path, &config)) continue;
    auto& slot = g_devices[path];
    if (!slot) {
      slot = std::make_unique<libusb_device>();
      slot->confPath = path;
    }
    applyConfig(slot.get(), config);
  }
}

// A line in the emulator folder's log, for tests that look at when the host did what.
void logLine(const std::string& what) {
  const char* folder = emulatorFolder();
  if (!folder) return;
  std::string path = std::string(folder) + "/host.log";
  if (FILE* log = std::fopen(path.c_str(), "ae")) {
    std::fprintf(log, "%.3f %s\n", wallNow(), what.c_str());
    std::fclose(log);
  }
}

void sleepBriefly() { std::this_thread::sleep_for(std::chrono::milliseconds(5)); }

Clock::time_point deadlineOf(unsigned int timeoutMs) {
  return timeoutMs == 0 ? Clock::time_point::max()
                        : Clock::now() + std::chrono::milliseconds(timeoutMs);
}

int bulkIn(libusb_device_handle* h, unsigned char* data, int length, int* actual,
           unsigned int timeoutMs) {
  libusb_device* d = h->device;
  auto deadline = deadlineOf(timeoutMs);
  std::unique_lock lock(g_mutex);
  for (;;) {
    if (!alive(h)) return LIBUSB_ERROR_NO_DEVICE;
    if (d->zeroLengthPacketPending) {
      d->zeroLengthPacketPending = false;
      return LIBUSB_SUCCESS;
    }
    if (!d->in.empty()) break;
    lock.unlock();
    if (Clock::now() >= deadline) return LIBUSB_ERROR_TIMEOUT;
    sleepBriefly();
    lock.lock();
  }
  Container& c = d->in.front();
  uint64_t n = std::min<uint64_t>(static_cast<uint64_t>(length), c.total() - c.position);
  // Object bytes this read would carry, for the fault switches.
  uint64_t dataStart = c.position > c.head.size() ? c.position - c.head.size() : 0;
  uint64_t dataEnd = c.position + n > c.head.size() ? c.position + n - c.head.size() : 0;
  uint64_t objectBytes = dataEnd - dataStart;
  if (objectBytes && d->config.unplugAfter >= 0 &&
      d->objectBytesSent + objectBytes > static_cast<uint64_t>(d->config.unplugAfter)) {
    unplugSelf(d);
    return LIBUSB_ERROR_NO_DEVICE;
  }
  if (objectBytes && d->config.stallAfter >= 0 && !d->stallFired &&
      d->objectBytesSent + objectBytes > static_cast<uint64_t>(d->config.stallAfter)) {
    // The device stops answering mid-object until the host gives up on the read; then
    // it has dropped the transaction.
    d->stallFired = true;
    d->in.clear();
    lock.unlock();
    while (Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return LIBUSB_ERROR_TIMEOUT;
  }
  uint64_t copied = 0;
  if (c.position < c.head.size()) {
    uint64_t fromHead = std::min<uint64_t>(n, c.head.size() - c.position);
    std::memcpy(data, c.head.data() + c.position, fromHead);
    copied = fromHead;
  }
  if (copied < n) {
    readObject(d, *c.object, c.objectOffset + dataStart, data + copied, n - copied);
  }
  c.position += n;
  d->objectBytesSent += objectBytes;
  *actual = static_cast<int>(n);
  if (c.position == c.total()) {
    // A container filling whole packets ends with a zero-length packet; it ends this
    // transfer unless the transfer was filled exactly.
    d->zeroLengthPacketPending = c.total() % kPacket == 0 && n == static_cast<uint64_t>(length);
    d->in.pop_front();
  }
  return LIBUSB_SUCCESS;
}

int bulkOut(libusb_device_handle* h, const unsigned char* data, int length, int* actual) {
  libusb_device* d = h->device;
  std::lock_guard lock(g_mutex);
  if (!alive(h, true)) return LIBUSB_ERROR_NO_DEVICE;
  *actual = length;
  if (length < 12) return LIBUSB_SUCCESS;  // a zero-length packet
  uint16_t type = static_cast<uint16_t>(data[4] | (data[5] << 8));
  uint16_t code = static_cast<uint16_t>(data[6] | (data[7] << 8));
  uint32_t tid = get32(data + 8);
  if (type != 1) return LIBUSB_SUCCESS;  // data sent to the device: not used by the tests
  uint32_t params[5] = {};
  int np = std::min(5, (length - 12) / 4);
  for (int i = 0; i < np; ++i) params[i] = get32(data + 12 + 4 * i);
  handleCommand(d, code, tid, params, np);
  return LIBUSB_SUCCESS;
}

// Completes what can be completed on `ctx`'s handles; returns them for their callbacks.
std::vector<libusb_transfer*> collect(libusb_context* ctx) {
  std::vector<libusb_transfer*> done;
  for (libusb_device_handle* h : ctx->handles) {
    for (libusb_transfer* t : h->cancelled) {
      t->status = LIBUSB_TRANSFER_CANCELLED;
      t->actual_length = 0;
      done.push_back(t);
    }
    h->cancelled.clear();
    libusb_device* d = h->device;
    if (!alive(h)) {
      for (libusb_transfer* t : h->submitted) {
        t->status = LIBUSB_TRANSFER_NO_DEVICE;
        t->actual_length = 0;
        done.push_back(t);
      }
      h->submitted.clear();
      continue;
    }
    queueDueEvents(d);
    while (!d->events.empty() && !h->submitted.empty()) {
      libusb_transfer* t = h->submitted.front();
      h->submitted.pop_front();
      const std::string& e = d->events.front();
      int n = std::min<int>(t->length, static_cast<int>(e.size()));
      std::memcpy(t->buffer, e.data(), static_cast<std::size_t>(n));
      t->actual_length = n;
      t->status = LIBUSB_TRANSFER_COMPLETED;
      logLine("event " + std::to_string(d->config.address) + " " +
              std::to_string(get16(reinterpret_cast<const unsigned char*>(e.data()) + 6)));
      d->events.pop_front();
      done.push_back(t);
    }
  }
  return done;
}

void runCallbacks(const std::vector<libusb_transfer*>& done) {
  for (libusb_transfer* t : done) {
    bool freeIt = t->flags & LIBUSB_TRANSFER_FREE_TRANSFER;
    if (t->callback) t->callback(t);
    if (freeIt) libusb_free_transfer(t);
  }
}

int handleEventsUntil(libusb_context* ctx, Clock::time_point deadline) {
  for (;;) {
    std::vector<libusb_transfer*> done;
    {
      std::lock_guard lock(g_mutex);
      done = collect(ctx);
    }
    if (!done.empty()) {
      runCallbacks(done);
      return LIBUSB_SUCCESS;
    }
    if (Clock::now() >= deadline) return LIBUSB_SUCCESS;
    sleepBriefly();
  }
}

}  // namespace

extern "C" {

int LIBUSB_CALL libusb_init(libusb_context** ctx) {
  std::lock_guard lock(g_mutex);
  auto* context = new libusb_context;
  g_contexts.insert(context);
  if (ctx) *ctx = context;
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_exit(libusb_context* ctx) {
  std::lock_guard lock(g_mutex);
  if (!ctx) return;
  for (libusb_device_handle* h : ctx->handles) h->context = nullptr;
  g_contexts.erase(ctx);
  if (t_listedThrough == ctx) t_listedThrough = nullptr;
  delete ctx;
}

ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx, libusb_device*** list) {
  std::lock_guard lock(g_mutex);
  t_listedThrough = ctx;
  rescan();
  std::vector<libusb_device*> present;
  for (auto& [path, device] : g_devices) {
    if (device->present) present.push_back(device.get());
  }
  std::sort(present.begin(), present.end(), [](libusb_device* a, libusb_device* b) {
    return std::make_pair(a->config.bus, a->config.address) <
           std::make_pair(b->config.bus, b->config.address);
  });
  auto** out = static_cast<libusb_device**>(std::calloc(present.size() + 1, sizeof(libusb_device*)));
  if (!out) return LIBUSB_ERROR_NO_MEM;
  std::copy(present.begin(), present.end(), out);
  *list = out;
  std::string listed = "list";
  for (libusb_device* d : present) listed += " " + std::to_string(d->config.address);
  logLine(listed);
  return static_cast<ssize_t>(present.size());
}

// Devices live as long as the process: nothing is unreferenced.
void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int) { std::free(list); }

int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev,
                                             struct libusb_device_descriptor* desc) {
  std::lock_guard lock(g_mutex);
  *desc = dev->descriptor;
  return LIBUSB_SUCCESS;
}

// The descriptors are the device's own, never freed (see libusb_free_config_descriptor).
int LIBUSB_CALL libusb_get_config_descriptor(libusb_device* dev, uint8_t index,
                                             struct libusb_config_descriptor** config) {
  std::lock_guard lock(g_mutex);
  if (index >= dev->configs.size()) return LIBUSB_ERROR_NOT_FOUND;
  *config = &dev->configs[index];
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_free_config_descriptor(struct libusb_config_descriptor*) {}

uint8_t LIBUSB_CALL libusb_get_bus_number(libusb_device* dev) {
  return static_cast<uint8_t>(dev->config.bus);
}

uint8_t LIBUSB_CALL libusb_get_device_address(libusb_device* dev) {
  return static_cast<uint8_t>(dev->config.address);
}

int LIBUSB_CALL libusb_get_max_packet_size(libusb_device*, unsigned char endpoint) {
  return endpoint == 0x83 || endpoint == 0x82 ? 64 : kPacket;
}

int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** handle) {
  std::lock_guard lock(g_mutex);
  rescan();  // switches as they are now
  if (!stillPresent(dev, true)) return LIBUSB_ERROR_NO_DEVICE;
  logLine("open " + std::to_string(dev->config.address) + " " + std::to_string(getpid()));
  libusb_context* ctx = g_contexts.count(t_listedThrough) ? t_listedThrough : nullptr;
  *handle = new libusb_device_handle{dev, dev->generation, ctx, {}, {}};
  if (ctx) ctx->handles.push_back(*handle);
  return LIBUSB_SUCCESS;
}

void LIBUSB_CALL libusb_close(libusb_device_handle* handle) {
  std::lock_guard lock(g_mutex);
  if (handle->claim >= 0) close(handle->claim);
  if (handle->context) {
    auto& handles = handle->context->handles;
    handles.erase(std::remove(handles.begin(), handles.end(), handle), handles.end());
  }
  delete handle;
}

int LIBUSB_CALL libusb_kernel_driver_active(libusb_device_handle*, int) { return 0; }
int LIBUSB_CALL libusb_detach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_SUCCESS; }
int LIBUSB_CALL libusb_attach_kernel_driver(libusb_device_handle*, int) { return LIBUSB_SUCCESS; }

int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* handle, int) {
  std::lock_guard lock(g_mutex);
  if (!alive(handle, true)) return LIBUSB_ERROR_NO_DEVICE;
  if (handle->device->config.busy) {
    errno = EBUSY;
    return LIBUSB_ERROR_BUSY;  // another program holds it
  }
  logLine("claim " + std::to_string(handle->device->config.address) + " " +
          std::to_string(getpid()));
  // The kernel lets one process at a time claim an interface (usbfs: EBUSY for
  // the others); a lock on a file beside the device's stands for that claim
  // across the processes that load this library.
  if (handle->claim < 0) {
    const std::string path = handle->device->confPath + ".claim";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0) {
      close(fd);
      errno = EBUSY;
      return LIBUSB_ERROR_BUSY;
    }
    handle->claim = fd;
  }
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_release_interface(libusb_device_handle* handle, int) {
  std::lock_guard lock(g_mutex);
  if (handle->claim >= 0) close(handle->claim);
  handle->claim = -1;
  return LIBUSB_SUCCESS;
}
int LIBUSB_CALL libusb_set_configuration(libusb_device_handle*, int) { return LIBUSB_SUCCESS; }
int LIBUSB_CALL libusb_set_interface_alt_setting(libusb_device_handle*, int, int) {
  return LIBUSB_SUCCESS;
}
int LIBUSB_CALL libusb_clear_halt(libusb_device_handle* handle, unsigned char) {
  std::lock_guard lock(g_mutex);
  return alive(handle) ? LIBUSB_SUCCESS : LIBUSB_ERROR_NO_DEVICE;
}

int LIBUSB_CALL libusb_reset_device(libusb_device_handle* handle) {
  std::lock_guard lock(g_mutex);
  libusb_device* d = handle->device;
  if (!alive(handle, true)) return LIBUSB_ERROR_NO_DEVICE;
  d->sessionOpen = false;
  d->in.clear();
  d->zeroLengthPacketPending = false;
  return LIBUSB_SUCCESS;
}

// PTP's class requests: 0x64 cancel, 0x66 device reset, 0x67 get device status.
int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* handle, uint8_t, uint8_t request,
                                        uint16_t, uint16_t, unsigned char* data, uint16_t length,
                                        unsigned int) {
  std::lock_guard lock(g_mutex);
  libusb_device* d = handle->device;
  if (!alive(handle, true)) return LIBUSB_ERROR_NO_DEVICE;
  switch (request) {
    case 0x64:
      d->in.clear();
      d->zeroLengthPacketPending = false;
      return length;
    case 0x66:
      d->sessionOpen = false;
      d->in.clear();
      d->zeroLengthPacketPending = false;
      return 0;
    case 0x67: {
      unsigned char status[4] = {4, 0, kOk & 0xff, kOk >> 8};
      int n = std::min<int>(length, 4);
      if (data) std::memcpy(data, status, static_cast<std::size_t>(n));
      return n;
    }
    default:
      return LIBUSB_ERROR_PIPE;
  }
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint,
                                     unsigned char* data, int length, int* actual,
                                     unsigned int timeout) {
  int ignored = 0;
  if (!actual) actual = &ignored;
  *actual = 0;
  if (endpoint & LIBUSB_ENDPOINT_IN) return bulkIn(handle, data, length, actual, timeout);
  return bulkOut(handle, data, length, actual);
}

struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int isoPackets) {
  std::size_t size = sizeof(libusb_transfer) +
                     sizeof(libusb_iso_packet_descriptor) * static_cast<std::size_t>(isoPackets);
  auto* t = static_cast<libusb_transfer*>(std::calloc(1, size));
  if (t) t->num_iso_packets = isoPackets;
  return t;
}

void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* t) {
  if (!t) return;
  if ((t->flags & LIBUSB_TRANSFER_FREE_BUFFER) && t->buffer) std::free(t->buffer);
  std::free(t);
}

int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* t) {
  std::lock_guard lock(g_mutex);
  libusb_device_handle* h = t->dev_handle;
  if (!h || t->type != LIBUSB_TRANSFER_TYPE_INTERRUPT) return LIBUSB_ERROR_NOT_SUPPORTED;
  if (!alive(h)) return LIBUSB_ERROR_NO_DEVICE;
  h->submitted.push_back(t);
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* t) {
  std::lock_guard lock(g_mutex);
  libusb_device_handle* h = t->dev_handle;
  if (!h) return LIBUSB_ERROR_NOT_FOUND;
  auto it = std::find(h->submitted.begin(), h->submitted.end(), t);
  if (it == h->submitted.end()) return LIBUSB_ERROR_NOT_FOUND;
  h->submitted.erase(it);
  h->cancelled.push_back(t);
  return LIBUSB_SUCCESS;
}

int LIBUSB_CALL libusb_handle_events_timeout(libusb_context* ctx, struct timeval* tv) {
  auto wait = tv ? std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec)
                 : std::chrono::microseconds(0);
  return handleEventsUntil(ctx, Clock::now() + wait);
}

int LIBUSB_CALL libusb_handle_events(libusb_context* ctx) {
  return handleEventsUntil(ctx, Clock::now() + std::chrono::milliseconds(100));
}

}  // extern "C"
