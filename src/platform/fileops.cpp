// The parts of the file operations that every system shares, on top of its own
// (platform/unix/fileops.cpp, platform/win/fileops.cpp).
#include "platform/fileops.h"

int64_t xfsize64(FILE *stream) {
  int64_t position = xftell64(stream);
  if (position < 0 || xfseek64(stream, 0, SEEK_END) != 0) return -1;
  int64_t size = xftell64(stream);
  xfseek64(stream, position, SEEK_SET);
  return size;
}
