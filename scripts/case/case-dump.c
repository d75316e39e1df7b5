/* Dumps the upper case that Windows compares file names by: for every UTF-16
   unit, ntdll's RtlUpcaseUnicodeChar (the table behind CompareStringOrdinal
   with ignore case), each checked against CompareStringOrdinal itself.
   Output lines:
     U unit(hex) upper(hex)   a unit whose upper case is another unit
     X unit(hex) upper(hex)   CompareStringOrdinal does not take the two for one
     N count                  units dumped (65536) */
#include <windows.h>
#include <stdio.h>

typedef WCHAR(WINAPI* UpcaseFunction)(WCHAR);

int main(void) {
  UpcaseFunction upcase =
      (UpcaseFunction)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlUpcaseUnicodeChar");
  FILE* f = fopen("case-dump.txt", "wb");
  if (upcase == NULL || f == NULL) return 1;
  int count = 0;
  for (int u = 0; u < 0x10000; ++u) {
    WCHAR unit = (WCHAR)u;
    WCHAR upper = upcase(unit);
    if (CompareStringOrdinal(&unit, 1, &upper, 1, TRUE) != CSTR_EQUAL) {
      fprintf(f, "X %04X %04X\n", u, upper);
    }
    if (upper != unit) fprintf(f, "U %04X %04X\n", u, upper);
    ++count;
  }
  fprintf(f, "N %d\n", count);
  fclose(f);
  return 0;
}
