// The test's own client connection to an X display: fills rectangles and maps windows on the
// root window and moves the pointer, each call synchronised with the server when it returns.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct _XDisplay;

namespace capture::test {

struct Rgb {
    uint8_t red, green, blue;
};

class Painter {
  public:
    explicit Painter(const std::string& displayName);
    bool Ok() const { return display_ != nullptr; }
    void Fill(int x, int y, int w, int h, Rgb colour);
    // Maps a window of one colour (drawing the server does for a child of the root window).
    void ShowWindow(int x, int y, int w, int h, Rgb colour);
    void CloseWindows();
    void MovePointer(int x, int y);

  private:
    // The pixel value of a colour on the default visual.
    unsigned long PixelOf(Rgb c) const;
    std::unique_ptr<_XDisplay, int (*)(_XDisplay*)> display_;  // closed with the painter
    std::vector<unsigned long> windows_;
};

}  // namespace capture::test
