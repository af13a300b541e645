/*
 * The lumivex command's work from C: samples the first group of a mesh file
 * into a samples file of SIZE x SIZE texels (any size from 1 to 16384),
 * byte for byte what `lumivex` writes at its sizes.
 *
 *   sample_file IN.kvx OUT.samples SIZE
 *
 * Build against an installed Lumivex (the static library needs the C++
 * runtime, which pkg-config names):
 *   cc -std=c99 sample_file.c $(pkg-config --cflags-only-I lumivex) $(pkg-config --libs --static lumivex)
 */
#include <lumivex/lumivex_c.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
  lumivex_sample_options options = lumivex_sample_options_defaults();
  lumivex_grid* grid = NULL;
  lumivex_result result;
  char reason[256];
  char* end = NULL;
  long size;

  if (argc != 4) {
    fprintf(stderr, "usage: %s IN.kvx OUT.samples SIZE\n", argv[0]);
    return 2;
  }
  size = strtol(argv[3], &end, 10);
  if (*argv[3] == '\0' || *end != '\0' || size < 1 || size > 16384) {
    fprintf(stderr, "SIZE: a whole number from 1 to 16384, not \"%s\"\n", argv[3]);
    return 2;
  }
  options.threads = 0; /* as many as the process may run on; the bytes are the same for any number */

  result = lumivex_sample_mesh_file(argv[1], (int32_t)size, (int32_t)size, NULL, &options, &grid);
  if (result.status == LUMIVEX_OK) result = lumivex_write_samples_file(argv[2], grid);
  lumivex_grid_free(grid);
  if (result.status != LUMIVEX_OK) {
    lumivex_reason(result, reason, sizeof reason);
    fprintf(stderr, "%s: %s\n", result.status == LUMIVEX_CANNOT_WRITE ? argv[2] : argv[1], reason);
    return 1;
  }
  return 0;
}
