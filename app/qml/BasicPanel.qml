import QtQuick 2.15
import QtQuick.Controls 2.15

// The Basic tab: what "Load Firmware" will do with the firmware directory.
Pane {
    id: basicTab
    objectName: "basicTab"

    property bool busy: false
    // The device is there and the directory's application image is chosen.
    property bool ready: false
    // Several instruments attached and none chosen; how many there are.
    property bool choiceNeeded: false
    property int instrumentCount: 0
    // Load Firmware on All goes.
    property bool programmingAll: false
    property string version: ""
    // Where the firmware directory was looked for, when it is missing; else empty.
    property string missingDirectory: ""
    // A run that touched the flash failed: the instrument will not start.
    property bool incomplete: false
    property color errorColor
    property bool compact: false

    padding: compact ? 4 : 12

    Label {
        id: basicInfoLabel
        objectName: "basicInfoLabel"
        width: parent.width
        wrapMode: Text.Wrap
        maximumLineCount: 2
        elide: Text.ElideMiddle
        color: basicTab.incomplete || basicTab.missingDirectory !== "" ? basicTab.errorColor : palette.windowText
        text: basicTab.missingDirectory !== ""
              ? qsTr("The firmware directory is missing: it was looked for at %1.").arg(basicTab.missingDirectory)
              : basicTab.choiceNeeded
                ? qsTr("%1 instruments are attached. Choose one by its serial number, or click Load Firmware on All to load version %2 into all of them.")
                      .arg(basicTab.instrumentCount).arg(basicTab.version)
              : basicTab.incomplete
                ? (basicTab.ready ? qsTr("The instrument will not start until a run completes. Click Load Firmware to load version %1.").arg(basicTab.version)
                                  : qsTr("Device not ready. The instrument will not start until a run completes."))
              : basicTab.ready ? qsTr("Ready to load version %1.").arg(basicTab.version)
                               : qsTr("Device not ready.")
        Accessible.role: Accessible.StaticText
        Accessible.name: text

        states: State {
            name: "programming"
            when: basicTab.busy
            PropertyChanges {
                target: basicInfoLabel
                color: palette.windowText
                text: basicTab.programmingAll
                      ? qsTr("Loading version %1 into %2 instruments. Please wait for programming to complete.")
                            .arg(basicTab.version).arg(basicTab.instrumentCount)
                      : qsTr("Loading version %1. Please wait for programming to complete.").arg(basicTab.version)
            }
        }
    }
}
