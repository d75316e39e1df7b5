/* Dumps Windows' code page 932 conversions: every single byte, every
   lead/trail pair, and the encoding of every BMP character (exact and best
   fit). Output lines:
     D bytes(hex) unicode(hex)     decode
     E unicode bytes               encode without best fit
     B unicode bytes               best-fit encode where the exact one fails */
#include <windows.h>
#include <stdio.h>
int main(void) {
  FILE* f = fopen("cp932-dump.txt", "w");
  for (int b = 0; b < 256; ++b) {
    char in[1] = {(char)b};
    WCHAR out[4];
    int n = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, in, 1, out, 4);
    if (n == 1) fprintf(f, "D %02X %04X\n", b, out[0]);
  }
  for (int lead = 0x80; lead < 256; ++lead) {
    for (int trail = 0x00; trail < 256; ++trail) {
      char in[2] = {(char)lead, (char)trail};
      WCHAR out[4];
      int n = MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, in, 2, out, 4);
      if (n == 1) fprintf(f, "D %02X%02X %04X\n", lead, trail, out[0]);
    }
  }
  for (int u = 1; u < 0x10000; ++u) {
    if (u >= 0xD800 && u < 0xE000) continue;
    WCHAR w[1] = {(WCHAR)u};
    char out[8];
    BOOL used = FALSE;
    int n = WideCharToMultiByte(932, WC_NO_BEST_FIT_CHARS, w, 1, out, 8, NULL, &used);
    if (n > 0 && !used) {
      fprintf(f, "E %04X ", u);
      for (int i = 0; i < n; ++i) fprintf(f, "%02X", (unsigned char)out[i]);
      fprintf(f, "\n");
      continue;
    }
    used = FALSE;
    n = WideCharToMultiByte(932, 0, w, 1, out, 8, NULL, &used);
    if (n > 0 && !used) {
      fprintf(f, "B %04X ", u);
      for (int i = 0; i < n; ++i) fprintf(f, "%02X", (unsigned char)out[i]);
      fprintf(f, "\n");
    }
  }
  fclose(f);
  return 0;
}
