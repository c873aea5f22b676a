import QtQuick 2.15

// The keyboard focus, drawn around the control this sits in: the style
// marks it on some controls and not on others.
Rectangle {
    objectName: "focusFrame"
    readonly property Item control: parent
    anchors.fill: parent
    anchors.margins: -2
    z: 1
    radius: 3
    color: "transparent"
    border.width: 2
    border.color: control ? control.palette.highlight : "#3874d8"
    visible: control !== null && control.visualFocus === true
}
