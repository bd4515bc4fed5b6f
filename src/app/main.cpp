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

  // The only strong reference to the controller; everything else holds it weakly.
  const auto importer = std::make_shared<Importer>(
      std::get<Importer::Mode>(parsed), makeCombinedBrowser(platform.mainQueue()), services,
      std::make_unique<SqliteImportRecord>(importRecordPathFromEnvironment()));
  importer->start();
  platform.run();
  return 0;
}
