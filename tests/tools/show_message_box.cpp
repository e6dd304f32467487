// Test helper: shows message boxes one after another, each from a UTF-8 file
// (caption on the first line, the text after it), all of the given type, and
// exits with the last answer. Boxes drawn from the expected words are the
// reference that screenshots of the program's own boxes are compared with,
// pixel by pixel; showing them in the same order as the program reproduces
// how Wine paints a process's later boxes (as the active window).
#include <windows.h>

#include <cwchar>
#include <fstream>
#include <iterator>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 100;
  const auto type = static_cast<UINT>(std::wcstoul(argv[1], nullptr, 16));
  int answer = 0;
  for (int i = 2; i < argc; ++i) {
    std::ifstream file(argv[i], std::ios::binary);
    if (!file) return 101;
    const std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const auto newline = content.find('\n');
    if (newline == std::string::npos) return 102;
    // Narrow texts through MessageBoxA, as the program passes them.
    const std::string caption = content.substr(0, newline);
    const std::string text = content.substr(newline + 1);
    answer = MessageBoxA(nullptr, text.c_str(), caption.c_str(), type);
  }
  return answer;
}
