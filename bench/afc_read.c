/* The bench's reference for the iPhone route: libimobiledevice alone, no picferry.
 *
 * Usage: afc_read DEST. Connects to the first device usbmuxd lists (the bench points
 * USBMUXD_SOCKET_ADDRESS at the fake phone), walks /DCIM over AFC and copies every file
 * into DEST, flat, with the durability picferry gives: written to a temporary file in
 * 1 MiB reads (picferry's AFC chunk), fdatasync, renamed to its name, the folder fsynced.
 * Prints one line: {"files": N, "bytes": B, "seconds": S}, S from the AFC client being
 * ready to the last file's folder flush (the part picferry's copy phase compares with).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { kChunk = 1 << 20 };

static afc_client_t afc;
static int dest_fd;
static char *buffer;
static uint64_t files, bytes;

static int fail(const char *what, const char *path, int code) {
  fprintf(stderr, "afc_read: %s %s: %d\n", what, path, code);
  return -1;
}

static int is_dir(const char *path, int *dir) {
  char **info = NULL;
  afc_error_t e = afc_get_file_info(afc, path, &info);
  if (e != AFC_E_SUCCESS) return fail("file info", path, e);
  *dir = 0;
  for (char **kv = info; kv && kv[0] && kv[1]; kv += 2)
    if (!strcmp(kv[0], "st_ifmt")) *dir = !strcmp(kv[1], "S_IFDIR");
  afc_dictionary_free(info);
  return 0;
}

static int copy(const char *path, const char *name) {
  char temp[4096];
  snprintf(temp, sizeof temp, ".%s.part", name);
  uint64_t handle = 0;
  afc_error_t e = afc_file_open(afc, path, AFC_FOPEN_RDONLY, &handle);
  if (e != AFC_E_SUCCESS) return fail("open", path, e);
  int fd = openat(dest_fd, temp, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return fail("create", temp, errno);
  for (;;) {
    uint32_t got = 0;
    e = afc_file_read(afc, handle, buffer, kChunk, &got);
    if (e != AFC_E_SUCCESS) return fail("read", path, e);
    if (got == 0) break;
    for (uint32_t done = 0; done < got;) {
      ssize_t n = write(fd, buffer + done, got - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return fail("write", temp, errno);
      done += (uint32_t)n;
    }
    bytes += got;
  }
  afc_file_close(afc, handle);
  if (fdatasync(fd) != 0) return fail("fdatasync", temp, errno);
  close(fd);
  if (renameat(dest_fd, temp, dest_fd, name) != 0) return fail("rename", name, errno);
  if (fsync(dest_fd) != 0) return fail("fsync folder for", name, errno);
  files++;
  return 0;
}

static int walk(const char *folder) {
  char **names = NULL;
  afc_error_t e = afc_read_directory(afc, folder, &names);
  if (e != AFC_E_SUCCESS) return fail("list", folder, e);
  int result = 0;
  for (char **n = names; n && *n && result == 0; n++) {
    if (!strcmp(*n, ".") || !strcmp(*n, "..")) continue;
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", folder, *n);
    int dir = 0;
    result = is_dir(path, &dir);
    if (result == 0) result = dir ? walk(path) : copy(path, *n);
  }
  afc_dictionary_free(names);
  return result;
}

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: afc_read DEST\n");
    return 2;
  }
  dest_fd = open(argv[1], O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dest_fd < 0) return fail("open", argv[1], errno), 1;
  idevice_t device = NULL;
  lockdownd_client_t lockdown = NULL;
  lockdownd_service_descriptor_t service = NULL;
  if (idevice_new(&device, NULL) != IDEVICE_E_SUCCESS) return fail("idevice_new", "", 0), 1;
  lockdownd_error_t le = lockdownd_client_new_with_handshake(device, &lockdown, "afc_read");
  if (le != LOCKDOWN_E_SUCCESS) return fail("handshake", "", le), 1;
  le = lockdownd_start_service(lockdown, AFC_SERVICE_NAME, &service);
  if (le != LOCKDOWN_E_SUCCESS) return fail("start service", AFC_SERVICE_NAME, le), 1;
  afc_error_t ae = afc_client_new(device, service, &afc);
  if (ae != AFC_E_SUCCESS) return fail("afc_client_new", "", ae), 1;
  lockdownd_service_descriptor_free(service);
  lockdownd_client_free(lockdown);
  buffer = malloc(kChunk);
  if (!buffer) return 1;

  struct timespec start, end;
  clock_gettime(CLOCK_MONOTONIC, &start);
  int result = walk("/DCIM");
  clock_gettime(CLOCK_MONOTONIC, &end);
  double seconds = (end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) / 1e9;
  printf("{\"files\": %" PRIu64 ", \"bytes\": %" PRIu64 ", \"seconds\": %.6f}\n", files, bytes,
         seconds);
  afc_client_free(afc);
  idevice_free(device);
  free(buffer);
  return result == 0 ? 0 : 1;
}
