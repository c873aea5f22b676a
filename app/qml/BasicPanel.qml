import QtQuick 2.15
import QtQuick.Controls 2.15

// The Basic tab: what "Load Firmware" will do with the firmware directory.
Pane {
    id: basicTab
    objectName: "basicTab"

    property bool busy: false
    // The device is there and the directory's application image is chosen.
    property bool ready: false
    property string version: ""
    // Where the firmware directory was looked for, when it is missing; else empty.
    property string missingDirectory: ""

    Label {
        id: basicInfoLabel
        objectName: "basicInfoLabel"
        width: parent.width
        elide: Text.ElideMiddle
        text: basicTab.missingDirectory !== ""
              ? qsTr("The firmware directory is missing: it was looked for at %1.").arg(basicTab.missingDirectory)
              : basicTab.ready ? qsTr("Ready to load version %1.").arg(basicTab.version)
                               : qsTr("Device not ready.")

        states: State {
            name: "programming"
            when: basicTab.busy
            PropertyChanges {
                target: basicInfoLabel
                text: qsTr("Loading version %1. Please wait for programming to complete.").arg(basicTab.version)
            }
        }
    }
}
