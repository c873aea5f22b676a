import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// What the loader found: the bridge, the flash, the firmware on disk, and
// the instrument's state.
Frame {
    id: panel
    objectName: "instrumentPanel"

    // The processor whose findings are shown; null when there is none.
    property QtObject processor: null
    property bool compact: false
    property color errorColor
    property color successColor

    function value(name, fallback) {
        return processor && processor[name] !== undefined ? processor[name] : fallback
    }
    readonly property string serial: value("bridgeSerial", "")
    readonly property string part: value("flashPart", "")
    readonly property int size: value("flashSize", 0)
    readonly property string version: value("firmwareVersion", "")
    readonly property var files: value("firmwareFiles", [])
    readonly property string missingDir: value("firmwareDirMissing", "")
    readonly property string state: value("instrumentState", "")
    property bool busy: false

    readonly property string bridgeText: serial !== "" ? qsTr("serial number %1").arg(serial) : qsTr("none found")
    readonly property string flashText: part !== "" ? qsTr("%1, %2 MiB").arg(part).arg(Math.round(size / 1048576))
                                                    : qsTr("not identified")
    readonly property string firmwareText: missingDir !== ""
                                           ? qsTr("no firmware directory at %1").arg(missingDir)
                                           : version === "" ? qsTr("none")
                                           : files.length > 0 ? qsTr("version %1 (%2)").arg(version).arg(files.join(", "))
                                           : qsTr("version %1, no firmware files").arg(version)

    padding: compact ? 4 : 8
    Accessible.role: Accessible.Grouping
    Accessible.name: qsTr("Instrument")

    GridLayout {
        anchors.fill: parent
        columns: 4
        columnSpacing: 8
        rowSpacing: panel.compact ? 0 : 4

        component Caption: Label {
            font.bold: true
            Accessible.ignored: true
        }
        component Value: Label {
            property string caption
            Layout.fillWidth: true
            Layout.preferredWidth: 1
            elide: Text.ElideMiddle
            Accessible.role: Accessible.StaticText
            Accessible.name: caption + ": " + text
        }

        Caption { text: qsTr("Bridge:") }
        Value {
            objectName: "bridgeValue"
            caption: qsTr("Bridge")
            text: panel.bridgeText
        }
        Caption { text: qsTr("Flash:") }
        Value {
            objectName: "flashValue"
            caption: qsTr("Flash")
            text: panel.flashText
        }
        Caption { text: qsTr("Firmware:") }
        Value {
            objectName: "firmwareValue"
            caption: qsTr("Firmware")
            text: panel.firmwareText
            color: panel.missingDir !== "" ? panel.errorColor : palette.windowText
        }
        Caption { text: qsTr("State:") }
        Value {
            objectName: "stateValue"
            caption: qsTr("State")
            text: panel.state !== "" ? panel.state : qsTr("looking for the instrument...")
            font.bold: true
            // The processor's own word for an instrument that is fit to program.
            color: panel.busy || panel.state === "" ? palette.windowText
                   : panel.state === "Ready" ? panel.successColor : panel.errorColor
        }
    }
}
