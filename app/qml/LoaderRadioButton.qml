import QtQuick 2.15
import QtQuick.Controls 2.15

// A radio button that Enter selects as Space does, its focus always drawn.
RadioButton {
    id: control
    function activate() {
        if (!enabled)
            return
        if (!checked)
            toggle()
        clicked()
    }
    Keys.onReturnPressed: activate()
    Keys.onEnterPressed: activate()
    // Named whenever a screen reader starts, not only when it ran before.
    Accessible.name: text
    FocusFrame {}
}
