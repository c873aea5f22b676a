import QtQuick 2.15
import QtQuick.Controls 2.15

// A push button that Enter activates as Space does, its focus always drawn.
Button {
    id: control
    Keys.onReturnPressed: if (enabled) clicked()
    Keys.onEnterPressed: if (enabled) clicked()
    // Named whenever a screen reader starts, not only when it ran before.
    Accessible.name: text
    FocusFrame {}
}
