#pragma once

class QWidget;

namespace pallador {

// Moves a window so that it sits at the centre of its screen with its frame,
// and once more when the window manager has framed it. Thread: main thread.
void CentreOnScreen(QWidget& Window);

}  // namespace pallador
