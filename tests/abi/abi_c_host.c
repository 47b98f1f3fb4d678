/* A host written in C against LF_v2270.h alone. Argument: the result that
 * IO_HasScanner("Lumaframe v2270") must give (1 with the virtual scanner,
 * 0 without any device). Exits non-zero on the first wrong answer. */
#include <stdio.h>
#include <stdlib.h>

#include <LF_v2270.h>

static int failures = 0;

static void expect(const char* what, long got, long want) {
  if (got != want) {
    fprintf(stderr, "%s: got %ld, want %ld\n", what, got, want);
    ++failures;
  }
}

int main(int argc, char** argv) {
  const int wantScanner = argc > 1 ? atoi(argv[1]) : 0;
  ScanParamBlock params = {{0}};
  int width = 0;
  int height = 0;

  /* Before any scanner is opened every forwarder answers its fixed value. */
  expect("IO_StartScan before open", IO_StartScan(), 0);
  expect("IO_GetPageDimension before open", IO_GetPageDimension(&params, &width, &height), 0);
  expect("IO_IsButtonDown before open", IO_IsButtonDown(), 0);
  expect("IO_GetPaperNames", IO_GetPaperNames(NULL), 0);
  expect("IO_IsSlideAttathed", IO_IsSlideAttathed(), 0);

  expect("IO_HasScanner", IO_HasScanner("Lumaframe v2270"), wantScanner);
  expect("IO_isScannerConnected", IO_isScannerConnected(), wantScanner);
  expect("IO_ODAScanner", IO_ODAScanner(), 0);
  return failures == 0 ? 0 : 1;
}
