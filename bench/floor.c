/* The least any program can do under sgsplit's file contract, to measure
 * sgsplit-batch against: reads of 4096 bytes, CR LF read as LF, the input
 * ended by the first 0x1A, empty, "g" and "o" lines dropped, a numbered
 * group, object and material line before every "s" line, every line written
 * with CR LF by one write() of its own into a temporary file, which is then
 * put in place so that a crash leaves the model wholly old or wholly new:
 * copied into a new file beside the model with its permissions, committed
 * to the disk, renamed over the model, the folder committed, and the
 * temporary file removed.
 *
 *   floor MODEL
 */
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int out_fd;
static int write_failed;

static void WriteAll(const char* bytes, size_t count) {
  while (count != 0) {
    const ssize_t n = write(out_fd, bytes, count);
    if (n <= 0) {
      write_failed = 1;
      return;
    }
    bytes += n;
    count -= (size_t)n;
  }
}

/* One output line: `line` has room for the CR LF after its `length` bytes. */
static void EndLine(char* line, size_t length) {
  line[length] = '\r';
  line[length + 1] = '\n';
  WriteAll(line, length + 2);
}

static void Block(unsigned number) {
  static const char* const kWords[] = {"g object", "o object", "usemtl object"};
  for (int i = 0; i < 3; ++i) {
    char text[32];
    const int n = snprintf(text, sizeof text - 2, "%s%u", kWords[i], number);
    EndLine(text, (size_t)n);
  }
}

static unsigned object_number = 1;

static void Rules(char* line, size_t length) {
  if (length == 0 || line[0] == 'g' || line[0] == 'o') return;
  if (line[0] == 's') Block(object_number++);
  EndLine(line, length);
}

static int CopyAll(int in, int out) {
  static char buffer[1 << 16];
  ssize_t n;
  while ((n = read(in, buffer, sizeof buffer)) > 0) {
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(out, buffer + done, (size_t)(n - done));
      if (w <= 0) return 0;
      done += w;
    }
  }
  return n == 0;
}

static int PutInPlace(const char* from, const char* model) {
  char beside[4096], folder[4096];
  snprintf(beside, sizeof beside, "%s.floorXXXXXX", model);
  snprintf(folder, sizeof folder, "%s", model);
  const int in = open(from, O_RDONLY);
  const int out = mkstemp(beside);
  const int folder_fd = open(dirname(folder), O_RDONLY | O_DIRECTORY);
  struct stat model_stat;
  int ok = in >= 0 && out >= 0 && folder_fd >= 0 && stat(model, &model_stat) == 0 &&
           fchmod(out, model_stat.st_mode & 07777) == 0 && CopyAll(in, out) && fsync(out) == 0;
  if (in >= 0) close(in);
  if (out >= 0 && close(out) != 0) ok = 0;
  const int renamed = ok && rename(beside, model) == 0;
  if (!renamed && out >= 0) unlink(beside);
  ok = renamed && fsync(folder_fd) == 0;
  if (folder_fd >= 0) close(folder_fd);
  return ok;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: floor MODEL\n");
    return 64;
  }
  const char* folder = getenv("TMPDIR");
  char temp[4096];
  snprintf(temp, sizeof temp, "%s/objXXXXXX", folder && *folder ? folder : "/tmp");
  out_fd = mkstemp(temp);
  const int in = open(argv[1], O_RDONLY);
  if (out_fd < 0 || in < 0) {
    perror("floor");
    return 1;
  }

  /* The line being gathered, with room for its CR LF. */
  size_t capacity = 4096, length = 0;
  char* line = malloc(capacity);
  char block[4096];
  int cr_pending = 0, ended = 0;
  ssize_t got;
  while (!ended && (got = read(in, block, sizeof block)) > 0) {
    for (ssize_t i = 0; i < got; ++i) {
      const char byte = block[i];
      if (byte == 0x1A) {
        ended = 1;
        break;
      }
      if (cr_pending) {
        cr_pending = 0;
        if (byte != '\n') line[length++] = '\r';
      }
      if (byte == '\n') {
        Rules(line, length);
        length = 0;
        continue;
      }
      if (byte == '\r') {
        cr_pending = 1;
        continue;
      }
      if (length + 3 > capacity) {
        capacity *= 2;
        line = realloc(line, capacity);
        if (line == NULL) return 1;
      }
      line[length++] = byte;
    }
  }
  if (cr_pending) line[length++] = '\r';
  if (length != 0) Rules(line, length);
  free(line);
  close(in);
  if (close(out_fd) != 0 || write_failed || !PutInPlace(temp, argv[1])) {
    perror("floor");
    unlink(temp);
    return 1;
  }
  unlink(temp);
  return 0;
}
