// A trial of two ways to scale 24-bit samples from sources into one
// destination, kept to measure them again: the sources are mapped, and the
// scaled samples either go through a 1 MiB buffer in writes aligned on the
// destination's MiB boundaries (the way the program takes), or straight into
// the destination mapped for writing 2 MiB at a time after its space is
// reserved. Every sample is scaled by -6 dB with the same loop in both.
//
//     cc -O2 -o trial bench/mapped_destination_trial.c
//     ./trial buffer|mapped|mapped-populate OUT.wav SOURCE.wav...
//
// The sources are 44-byte-header WAV files of 24-bit samples. OUT.wav gets
// their samples one after another behind a 44-byte space (no header: the
// trial times the copy alone).
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kHeader = 44, kBuffer = 1 << 20, kWindow = 2 << 20 };

static void Scale(const unsigned char* in, unsigned char* out, long bytes) {
  for (long i = 0; i + 3 <= bytes; i += 3) {
    int v = in[i] | in[i + 1] << 8 | (signed char)in[i + 2] << 16;
    v = (int)(v * 0.5011872336272722);
    out[i] = (unsigned char)v;
    out[i + 1] = (unsigned char)(v >> 8);
    out[i + 2] = (unsigned char)(v >> 16);
  }
}

int main(int argc, char** argv) {
  if (argc < 4) {
    fprintf(stderr, "usage: %s buffer|mapped|mapped-populate OUT.wav SOURCE.wav...\n", argv[0]);
    return 1;
  }
  const int mapped = strncmp(argv[1], "mapped", 6) == 0;
  const int populate = strcmp(argv[1], "mapped-populate") == 0 ? MAP_POPULATE : 0;
  long total = 0;
  for (int i = 3; i < argc; ++i) {
    struct stat status;
    if (stat(argv[i], &status) != 0) return perror(argv[i]), 1;
    total += status.st_size - kHeader;
  }
  const int out = open(argv[2], O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (out < 0 || fallocate(out, 0, 0, kHeader + total) != 0) return perror(argv[2]), 1;
  static unsigned char buffer[kBuffer];
  long at = kHeader;
  for (int i = 3; i < argc; ++i) {
    const int in = open(argv[i], O_RDONLY);
    struct stat status;
    if (in < 0 || fstat(in, &status) != 0) return perror(argv[i]), 1;
    unsigned char* source = mmap(NULL, status.st_size, PROT_READ, MAP_SHARED, in, 0);
    if (source == MAP_FAILED) return perror("mmap"), 1;
    madvise(source, status.st_size, MADV_SEQUENTIAL);
    const long bytes = status.st_size - kHeader;
    for (long done = 0; done < bytes;) {
      long n;
      if (!mapped) {
        // Up to the next MiB boundary of the destination, in whole samples.
        n = kBuffer - at % kBuffer;
        n -= n % 3;
        if (n == 0) n = 3;
        if (n > bytes - done) n = bytes - done;
        Scale(source + kHeader + done, buffer, n);
        if (pwrite(out, buffer, n, at) != n) return perror("pwrite"), 1;
      } else {
        n = kWindow < bytes - done ? kWindow : bytes - done;
        const long base = at & ~4095L;
        unsigned char* window =
            mmap(NULL, at + n - base, PROT_READ | PROT_WRITE, MAP_SHARED | populate, out, base);
        if (window == MAP_FAILED) return perror("mmap"), 1;
        Scale(source + kHeader + done, window + (at - base), n);
        munmap(window, at + n - base);
      }
      at += n;
      done += n;
    }
    munmap(source, status.st_size);
    close(in);
  }
  return close(out) == 0 ? 0 : 1;
}
