/* An installer stand-in for the tests on Windows: the form of tests/e2e_support.py's
 * stand-ins (shell scripts elsewhere) that Windows can start. Copied as uv.exe into a folder
 * that goes first on PATH; what it does is read from stand-in.txt beside it, one step a line,
 * in order:
 *   log PATH      append the arguments, space-joined, and a newline to PATH
 *   sleep MS      wait MS milliseconds
 *   stdout PATH   copy the bytes of PATH to the standard output
 *   stderr PATH   copy the bytes of PATH to the standard error
 *   exit N        end with status N (the default status is 0)
 * Paths and arguments are UTF-8 in the files. scripts/windows-test builds it next to
 * talvex-ext-demo. */
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <shellapi.h>

static FILE *open_utf8(const char *path, const wchar_t *mode) {
  wchar_t wide[4 * MAX_PATH];
  if (!MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, 4 * MAX_PATH)) return NULL;
  return _wfopen(wide, mode);
}

static int copy_file(const char *path, FILE *to) {
  FILE *from = open_utf8(path, L"rb");
  if (!from) return 0;
  char buf[8192];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, from)) > 0) fwrite(buf, 1, n, to);
  fclose(from);
  fflush(to);
  return 1;
}

static int log_arguments(const char *path) {
  FILE *log = open_utf8(path, L"ab");
  if (!log) return 0;
  int argc = 0;
  wchar_t **argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  for (int i = 1; argv && i < argc; i++) {
    char arg[8192];
    if (!WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, arg, sizeof arg, NULL, NULL)) arg[0] = '\0';
    fprintf(log, "%s%s", i > 1 ? " " : "", arg);
  }
  fputc('\n', log);
  LocalFree(argv);
  fclose(log);
  return 1;
}

int main(void) {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  wchar_t script[4 * MAX_PATH];
  DWORD n = GetModuleFileNameW(NULL, script, MAX_PATH * 3);
  if (n == 0 || n >= MAX_PATH * 3) return 120;
  wchar_t *slash = wcsrchr(script, L'\\');
  if (!slash) return 120;
  wcscpy(slash + 1, L"stand-in.txt");
  FILE *steps = _wfopen(script, L"rb");
  if (!steps) {
    fputs("installer stand-in: no stand-in.txt beside it\n", stderr);
    return 120;
  }
  char line[8192];
  int status = 0;
  while (fgets(line, sizeof line, steps)) {
    line[strcspn(line, "\r\n")] = '\0';
    char *arg = strchr(line, ' ');
    if (!arg) continue;
    *arg++ = '\0';
    int ok = 1;
    if (!strcmp(line, "log")) ok = log_arguments(arg);
    else if (!strcmp(line, "sleep")) Sleep((DWORD)strtoul(arg, NULL, 10));
    else if (!strcmp(line, "stdout")) ok = copy_file(arg, stdout);
    else if (!strcmp(line, "stderr")) ok = copy_file(arg, stderr);
    else if (!strcmp(line, "exit")) { status = atoi(arg); break; }
    else ok = 0;
    if (!ok) {
      fprintf(stderr, "installer stand-in: cannot do '%s %s'\n", line, arg);
      status = 121;
      break;
    }
  }
  fclose(steps);
  return status;
}
