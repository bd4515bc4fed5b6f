#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "app/command_line.h"
#include "camera/combined_browser.h"
#include "events/events.h"
#include "importer/importer.h"
#include "platform/real_platform.h"
#include "record/record_location.h"
#include "record/sqlite_import_record.h"
#include "thumbnails/thumbnail_maker.h"
#include "thumbnails/thumbnailer_process.h"

int main(int argc, char** argv) {
  using namespace picferry;
  RealPlatform platform;
  const Platform services = platform.services();

  const auto parsed = parseCommandLine(std::vector<std::string>(argv, argv + argc),
                                       services.fileSystem);
  if (const auto* usage = std::get_if<UsageError>(&parsed)) {
    EventStream(services.output).emitError(usage->code, usage->message);
    services.process.exit(2);
  }

  // With --device, the browser reports that device alone and never touches
  // another, which another process may be importing from.
  const auto& mode = std::get<Importer::Mode>(parsed);
  DeviceFilter filter;
  if (mode.deviceId)
    filter = [wanted = *mode.deviceId](const std::string& id) { return id == wanted; };
  // The only strong reference to the controller; everything else holds it weakly.
  std::unique_ptr<ThumbnailMaker> thumbnails;
  if (mode.thumbnails) {
    thumbnails = std::make_unique<ProcessThumbnailMaker>(
        platform.mainQueue(), ThumbnailCache(ThumbnailCache::folderFromEnvironment()),
        std::vector<std::string>{ThumbnailerProcess::besideExecutable()});
  }
  const auto importer = std::make_shared<Importer>(
      mode, makeCombinedBrowser(platform.mainQueue(), std::move(filter)), services,
      std::make_unique<SqliteImportRecord>(importRecordPathFromEnvironment()),
      std::move(thumbnails));
  importer->start();
  platform.run();
  return 0;
}
