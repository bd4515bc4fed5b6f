#include <algorithm>

#include "importer/importer.h"
#include "importer/saturating.h"

namespace picferry {

// One "transfer" event per report of the device, which spaces them; only for
// the download outstanding, so none follows its "progress" event. "doneBytes"
// is the sizes of the files handled before it, each as the device reports it,
// plus its bytes so far: never less than the last one written, never more
// than the catalogue's total.
void Importer::didReceiveDownloadProgressForFile(const std::shared_ptr<CameraFile>& file,
                                                 std::int64_t downloadedBytes) {
  const std::int64_t handled = downloaded + skipped + unavailable;
  if (!byteProgress || idx != handled + 1 || queue[static_cast<std::size_t>(handled)] != file) {
    return;
  }
  for (; handledBytesOf < handled; ++handledBytesOf) {
    handledBytes =
        addSaturating(handledBytes, queue[static_cast<std::size_t>(handledBytesOf)]->fileSize());
  }
  doneBytes =
      std::min(totalBytes, std::max(doneBytes, addSaturating(handledBytes, downloadedBytes)));
  events_.emit({{"type", std::string("transfer")},
                {"name", file->name().value_or("file")},
                {"bytes", downloadedBytes},
                {"size", file->fileSize()},
                {"doneBytes", doneBytes},
                {"totalBytes", totalBytes}});
}

}  // namespace picferry
