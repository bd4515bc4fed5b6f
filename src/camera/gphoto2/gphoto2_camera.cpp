#include "camera/gphoto2/gphoto2_camera.h"

#include <fcntl.h>
#include <gphoto2/gphoto2-file.h>
#include <gphoto2/gphoto2-list.h>
#include <gphoto2/gphoto2-result.h>
#include <gphoto2/gphoto2-widget.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <shared_mutex>

#include "camera/gphoto2/gphoto2_error.h"
#include "camera/gphoto2/gphoto2_lock.h"
#include "camera/gphoto2/left_out_names.h"
#include "platform/paths.h"

namespace picferry {
namespace {

// An iPhone that is locked or does not trust the computer shows a storage
// with this id (libgphoto2 names storages "/store_<id in hex>").
bool isPlaceholderStorage(const std::string& base) {
  return strcasecmp(base.c_str(), "/store_feedface") == 0;
}

}  // namespace

std::unique_ptr<Gphoto2Camera> Gphoto2Camera::open(const Gphoto2Drivers& drivers,
                                                   const std::string& model,
                                                   const std::string& port, Gphoto2Context& context,
                                                   DeviceError* error, int* failure) {
  std::lock_guard lock(gphoto2GlobalLock());
  context.clearMessages();
  GPPortInfoList* ports = nullptr;
  Camera* camera = nullptr;
  int result = gp_port_info_list_new(&ports);
  if (result >= GP_OK) result = gp_port_info_list_load(ports);
  int index = result >= GP_OK ? gp_port_info_list_lookup_path(ports, port.c_str()) : result;
  GPPortInfo info;
  result = index >= GP_OK ? gp_port_info_list_get_info(ports, index, &info) : index;
  if (result >= GP_OK) result = gp_camera_new(&camera);
  if (result >= GP_OK) result = drivers.setAbilitiesLocked(model, camera);
  if (result >= GP_OK) result = gp_camera_set_port_info(camera, info);
  if (result >= GP_OK) result = gp_camera_init(camera, context.get());
  if (result < GP_OK) {
    *failure = result;
    *error = gphoto2Error("Could not open " + model + " on " + port, result, context.messages());
    if (camera) gp_camera_free(camera);
    if (ports) gp_port_info_list_free(ports);
    return nullptr;
  }
  return std::unique_ptr<Gphoto2Camera>(new Gphoto2Camera(camera, ports, context));
}

Gphoto2Camera::Gphoto2Camera(Camera* camera, GPPortInfoList* ports, Gphoto2Context& context)
    : camera_(camera), ports_(ports), context_(context) {}

Gphoto2Camera::~Gphoto2Camera() {
  std::lock_guard lock(gphoto2GlobalLock());
  gp_camera_exit(camera_, context_.get());
  gp_camera_free(camera_);
  gp_port_info_list_free(ports_);
}

namespace {
constexpr std::chrono::milliseconds kEventPoll{100};
constexpr std::chrono::milliseconds kFreshSessionWait{1000};
}  // namespace

std::optional<DeviceError> Gphoto2Camera::storageRoots(std::vector<std::string>* roots) {
  const bool first = !storagesRead_;
  storagesRead_ = true;
  if (auto failed = readStorageRoots(roots)) return failed;
  if (!roots->empty()) return std::nullopt;
  // A phone trusted or allowed since tells so by events (StoreRemoved of the
  // placeholder, StoreAdded of the real storage): take them and look again.
  takeEvents(first ? kFreshSessionWait : kEventPoll);
  return readStorageRoots(roots);
}

bool Gphoto2Camera::viewReaches(const std::vector<std::string>& roots) {
  if (rootFolderNames(roots)) return true;
  takeEvents(kEventPoll);
  return rootFolderNames(roots);
}

// ptp2's root folder lists the storage ids it keeps ("store_<id>"); knowing
// none, it names store_00010001, the id phones give their one storage. Such a
// view, built while a phone showed no storage, holds no objects: every folder
// listed through it is asked of the device.
bool Gphoto2Camera::rootFolderNames(const std::vector<std::string>& roots) {
  std::vector<std::string> named;
  if (listFolders("/", &named)) return false;
  for (const std::string& root : roots) {
    auto start = root.find_first_not_of('/');
    if (start == std::string::npos) continue;  // the root folder itself
    std::string top = root.substr(start, root.find('/', start) - start);
    if (std::find(named.begin(), named.end(), top) == named.end()) return false;
  }
  return true;
}

void Gphoto2Camera::takeEvents(std::chrono::milliseconds wait) {
  std::shared_lock call(gphoto2CameraCalls());
  constexpr int kMostEvents = 16;
  const auto deadline = std::chrono::steady_clock::now() + wait;
  int events = 0;
  while (events < kMostEvents) {
    context_.clearMessages();
    CameraEventType type = GP_EVENT_UNKNOWN;
    void* data = nullptr;
    int result = gp_camera_wait_for_event(camera_, static_cast<int>(kEventPoll.count()), &type,
                                          &data, context_.get());
    std::free(data);
    if (result < GP_OK) return;
    if (type != GP_EVENT_TIMEOUT) {
      ++events;
    } else if (events > 0 || std::chrono::steady_clock::now() >= deadline) {
      return;
    }
  }
}

std::optional<DeviceError> Gphoto2Camera::readStorageRoots(std::vector<std::string>* roots) {
  std::shared_lock call(gphoto2CameraCalls());
  context_.clearMessages();
  CameraStorageInformation* storages = nullptr;
  int count = 0;
  int result = gp_camera_get_storageinfo(camera_, &storages, &count, context_.get());
  if (result == GP_ERROR_NOT_SUPPORTED) {
    roots->push_back("/");
    return std::nullopt;
  }
  if (result < GP_OK) {
    return gphoto2Error("Could not read the device's storages", result, context_.messages());
  }
  for (int i = 0; i < count; ++i) {
    const bool hasBase =
        (storages[i].fields & GP_STORAGEINFO_BASE) && storages[i].basedir[0] != '\0';
    std::string base(hasBase ? storages[i].basedir : "/");
    if (!isPlaceholderStorage(base)) roots->push_back(std::move(base));
  }
  std::free(storages);
  return std::nullopt;
}

std::optional<std::string> Gphoto2Camera::reportedModel() {
  std::shared_lock call(gphoto2CameraCalls());
  CameraWidget* widget = nullptr;
  if (gp_camera_get_single_config(camera_, "cameramodel", &widget, context_.get()) < GP_OK) {
    return std::nullopt;
  }
  std::optional<std::string> model;
  CameraWidgetType type;
  const char* value = nullptr;
  if (gp_widget_get_type(widget, &type) == GP_OK && type == GP_WIDGET_TEXT &&
      gp_widget_get_value(widget, &value) == GP_OK && value) {
    model = value;
  }
  gp_widget_free(widget);
  return model;
}

namespace {

using ListCall = int (*)(Camera*, const char*, CameraList*, GPContext*);

std::optional<DeviceError> listInto(ListCall call, Camera* camera, Gphoto2Context& context,
                                    const std::string& folder, std::vector<std::string>* names,
                                    const char* what) {
  context.clearMessages();
  CameraList* list = nullptr;
  int result = gp_list_new(&list);
  if (result >= GP_OK) result = call(camera, folder.c_str(), list, context.get());
  if (result >= GP_OK) {
    int count = gp_list_count(list);
    names->reserve(names->size() + static_cast<std::size_t>(count > 0 ? count : 0));
    for (int i = 0; i < count; ++i) {
      const char* name = nullptr;
      if (gp_list_get_name(list, i, &name) == GP_OK && name) names->emplace_back(name);
    }
  }
  if (list) gp_list_free(list);
  if (result < GP_OK) {
    return gphoto2Error(std::string("Could not list the ") + what + " in " + folder, result,
                        context.messages());
  }
  return std::nullopt;
}

}  // namespace

std::optional<DeviceError> Gphoto2Camera::listFolders(const std::string& folder,
                                                      std::vector<std::string>* names) {
  std::shared_lock call(gphoto2CameraCalls());
  return listInto(&gp_camera_folder_list_folders, camera_, context_, folder, names, "folders");
}

std::optional<DeviceError> Gphoto2Camera::listFiles(const std::string& folder,
                                                    std::vector<std::string>* names,
                                                    std::vector<std::string>* leftOut) {
  // libgphoto2 logs what it leaves out while it lists a folder's files, and
  // never again unless it lists them again.
  LeftOutNames::listen();
  LeftOutNames watch;
  std::optional<DeviceError> failed;
  {
    std::shared_lock call(gphoto2CameraCalls());
    failed = listInto(&gp_camera_folder_list_files, camera_, context_, folder, names, "files");
  }
  *leftOut = watch.names();
  LeftOutNames::stopListening();
  return failed;
}

CameraFileStat Gphoto2Camera::stat(const std::string& folder, const std::string& name) {
  std::shared_lock call(gphoto2CameraCalls());
  CameraFileStat result;
  CameraFileInfo info;
  context_.clearMessages();
  if (gp_camera_file_get_info(camera_, folder.c_str(), name.c_str(), &info, context_.get()) ==
      GP_OK) {
    if (info.file.fields & GP_FILE_INFO_SIZE)
      result.size = static_cast<std::int64_t>(info.file.size);
    if (info.file.fields & GP_FILE_INFO_MTIME) result.mtime = info.file.mtime;
  }
  return result;
}

int Gphoto2Camera::readInPieces(const std::string& folder, const std::string& name, int fd) {
  constexpr std::uint64_t kPiece = 1 << 20;  // ptp2's own piece size
  if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) return GP_ERROR_IO;
  std::vector<char> buffer(kPiece);
  for (std::uint64_t offset = 0;;) {
    std::uint64_t got = kPiece;
    int result = gp_camera_file_read(camera_, folder.c_str(), name.c_str(), GP_FILE_TYPE_NORMAL,
                                     offset, buffer.data(), &got, context_.get());
    if (result < GP_OK) return result;
    if (got == 0) return GP_OK;
    for (std::uint64_t written = 0; written < got;) {
      ssize_t n = write(fd, buffer.data() + written, got - written);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return GP_ERROR_IO_WRITE;
      written += static_cast<std::uint64_t>(n);
    }
    offset += got;
  }
}

std::optional<DeviceError> Gphoto2Camera::download(const std::string& folder,
                                                   const std::string& name, int fd,
                                                   const std::atomic<bool>& abandoned) {
  std::shared_lock call(gphoto2CameraCalls());
  context_.clearMessages();
  // PTP gives sizes in 32 bits: 0xFFFFFFFF stands for "4 GiB or more". libgphoto2 then
  // stops at 4 GiB - 1 and reports success, and the size check would compare with the same
  // wrong size: a truncated file counted as copied. Such a file is not copied at all.
  CameraFileInfo info;
  if (gp_camera_file_get_info(camera_, folder.c_str(), name.c_str(), &info, context_.get()) ==
          GP_OK &&
      (info.file.fields & GP_FILE_INFO_SIZE) && info.file.size == 0xFFFFFFFFu) {
    return DeviceError{joinPath(folder, name) +
                           " is 4 GiB or larger and the device does not tell its exact size, "
                           "so it cannot be copied whole; nothing was saved.",
                       FailureCode::deviceRefused};
  }
  context_.clearMessages();
  // libgphoto2 closes the descriptor it is given: it gets a duplicate.
  int handedOver = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (handedOver < 0) return DeviceError{"Could not prepare the copy of " + name};
  ::CameraFile* file = nullptr;  // libgphoto2's, not ours
  if (gp_file_new_from_fd(&file, handedOver) < GP_OK) {
    close(handedOver);
    return DeviceError{"Could not prepare the copy of " + name};
  }
  context_.watchTransfer(fd, abandoned);
  int result = gp_camera_file_get(camera_, folder.c_str(), name.c_str(), GP_FILE_TYPE_NORMAL, file,
                                  context_.get());
  gp_file_unref(file);
  // ptp2 refuses to get objects of format Undefined (0x3000: AAE and XMP
  // sidecars) from non-MTP devices before sending anything, but reads them
  // piece by piece.
  if (result == GP_ERROR_NOT_SUPPORTED) {
    context_.clearMessages();
    result = readInPieces(folder, name, fd);
  }
  bool stalled = context_.endTransfer();
  if (stalled) {
    return DeviceError{"The device stopped sending " + joinPath(folder, name) +
                       "; nothing was saved."};
  }
  if (result < GP_OK) {
    return gphoto2Error("Could not copy " + joinPath(folder, name), result, context_.messages());
  }
  return std::nullopt;
}

}  // namespace picferry
