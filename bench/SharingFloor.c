// The floor of a share: the least any program must do to make the same promise
// as plumo-share (nothing torn after a crash, the exit only once the share
// survives a power loss), written plainly, with nothing else. The benchmarks
// measure the shares against it.
//
// usage: bench_floor STORE (--text TEXT | FILE...)
//
// It stages STORE/staging/<id> (copying each file with copy_file_range, then
// writing a manifest), syncs the files, the manifest and the folder together
// (a thread each), renames the folder into STORE/inbox without replacing, and
// syncs the inbox. STORE's two folders are made when missing.
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define MAX_FILES 64

static void fail(const char* what) {
  fprintf(stderr, "bench_floor: %s: %s\n", what, strerror(errno));
  exit(1);
}

static int openFolder(int at, const char* name) {
  if (mkdirat(at, name, 0700) != 0 && errno != EEXIST) fail(name);
  const int folder = openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder == -1) fail(name);
  return folder;
}

static const char* baseName(const char* path) {
  const char* slash = strrchr(path, '/');
  return slash ? slash + 1 : path;
}

static int copyInto(int folder, const char* path) {
  const int source = open(path, O_RDONLY | O_CLOEXEC);
  struct stat status;
  if (source == -1 || fstat(source, &status) != 0) fail(path);
  const int target = openat(folder, baseName(path), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (target == -1) fail(path);
  for (off_t left = status.st_size; left > 0;) {
    const ssize_t copied = copy_file_range(source, NULL, target, NULL, (size_t)left, 0);
    if (copied <= 0) fail(path);
    left -= copied;
  }
  close(source);
  return target;
}

static int writeFile(int folder, const char* name, const char* text) {
  const int file = openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (file == -1) fail(name);
  for (size_t written = 0, size = strlen(text); written < size;) {
    const ssize_t count = write(file, text + written, size - written);
    if (count <= 0) fail(name);
    written += (size_t)count;
  }
  return file;
}

static void* syncOne(void* descriptor) {
  if (fsync(*(int*)descriptor) != 0) fail("fsync");
  return NULL;
}

static void syncTogether(int* descriptors, int count) {
  pthread_t threads[MAX_FILES + 2];
  for (int index = 0; index < count; ++index) {
    if (pthread_create(&threads[index], NULL, syncOne, &descriptors[index]) != 0) fail("thread");
  }
  for (int index = 0; index < count; ++index) pthread_join(threads[index], NULL);
}

int main(int argc, char** argv) {
  const int isText = argc == 4 && strcmp(argv[2], "--text") == 0;
  if (argc < 3 || argc - 2 > MAX_FILES) {
    fputs("usage: bench_floor STORE (--text TEXT | FILE...)\n", stderr);
    return 2;
  }
  const int store = openFolder(AT_FDCWD, argv[1]);
  const int staging = openFolder(store, "staging");
  const int inbox = openFolder(store, "inbox");

  char id[64];
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  snprintf(id, sizeof id, "%lld-%ld-%d", (long long)now.tv_sec, now.tv_nsec, getpid());
  const int share = openFolder(staging, id);

  int descriptors[MAX_FILES + 2];
  int count = 0;
  char manifest[4096] = "{\"items\":[";
  if (isText) {
    snprintf(manifest + strlen(manifest), sizeof manifest - strlen(manifest), "{\"text\":\"%s\"}", argv[3]);
  } else {
    for (int index = 2; index < argc; ++index) {
      descriptors[count++] = copyInto(share, argv[index]);
      snprintf(manifest + strlen(manifest), sizeof manifest - strlen(manifest), "%s{\"file\":\"%s\"}",
               index > 2 ? "," : "", baseName(argv[index]));
    }
  }
  strncat(manifest, "]}", sizeof manifest - strlen(manifest) - 1);
  descriptors[count++] = writeFile(share, "manifest.json", manifest);
  descriptors[count++] = share;
  syncTogether(descriptors, count);

  if (renameat2(staging, id, inbox, id, RENAME_NOREPLACE) != 0) fail("rename");
  if (fsync(inbox) != 0) fail("fsync inbox");
  return 0;
}
