/* mscms.dll for runs of Qt's "windows" platform plugin under Wine 8.0 only
 * (TALVEX_WINDOWS_QPA=windows in scripts/windows-test). Qt 6's qwindows.dll asks mscms for the
 * screen's colour profile; Wine 8.0's WcsCreateIccProfile is a stub that ends the process.
 * These four fail plainly, so Qt finds no profile and keeps sRGB. It sits beside python.exe
 * and is used only with WINEDLLOVERRIDES=mscms=n,b. Never shipped. */
#include <windows.h>

__declspec(dllexport) HANDLE WINAPI OpenColorProfileW(void *profile, DWORD access, DWORD share, DWORD creation) {
  (void)profile; (void)access; (void)share; (void)creation;
  SetLastError(ERROR_NOT_SUPPORTED);
  return NULL;
}
__declspec(dllexport) BOOL WINAPI GetColorProfileFromHandle(HANDLE profile, BYTE *buffer, DWORD *size) {
  (void)profile; (void)buffer; (void)size;
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}
__declspec(dllexport) BOOL WINAPI CloseColorProfile(HANDLE profile) {
  (void)profile;
  return TRUE;
}
__declspec(dllexport) HANDLE WINAPI WcsCreateIccProfile(HANDLE profile, DWORD options) {
  (void)profile; (void)options;
  SetLastError(ERROR_NOT_SUPPORTED);
  return NULL;
}
