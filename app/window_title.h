#pragma once
// Window titles. Every title of the system is set through TIRN_ERROR::SetStatusTitle with UTF-8
// text; once the GLUT window exists, InstallWindowTitleSink routes those calls to it.
//
// freeglut writes its title property as Latin-1 text, so it receives a Latin-1 rendering; the
// UTF-8 text itself goes into the _NET_WM_NAME property, which window managers prefer, so
// that Cyrillic titles read correctly.

#include <string>

namespace WIN_NMS {

// Latin-1 rendering of UTF-8 text: one byte per code point, '?' for every code point above
// U+00FF and for every malformed sequence.
std::string Utf8ToLatin1(const std::string& utf8);

// Sets the title of the current GLUT window now (both properties). Needs a current window.
void SetWindowTitle(const std::string& utf8);

// Installs SetWindowTitle as the status-title sink. Call once the GLUT window exists.
void InstallWindowTitleSink();

}  // namespace WIN_NMS
