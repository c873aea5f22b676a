import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// What the loader found: the bridge, the flash, the firmware on disk, and
// the instrument's state. With several instruments attached, the bridge's
// place holds the choice of one by its serial number.
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
    readonly property var instruments: value("instruments", [])
    readonly property string chosen: value("chosenSerial", "")
    readonly property bool several: instruments.length > 1
    property bool busy: false

    // "FT7PRVL2 at 0x2122", as the log and pravel-flash list them.
    function instrumentText(instrument) {
        return instrument.inUse ? qsTr("%1 at %2, in use").arg(instrument.serial).arg(instrument.location)
                                : qsTr("%1 at %2").arg(instrument.serial).arg(instrument.location)
    }
    function chosenIndex() {
        for (var i = 0; i < instruments.length; ++i)
            if (instruments[i].serial === chosen)
                return i
        return -1
    }

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

        Caption { text: panel.several ? qsTr("Instrument:") : qsTr("Bridge:") }
        Value {
            objectName: "bridgeValue"
            visible: !panel.several
            caption: qsTr("Bridge")
            text: panel.bridgeText
        }
        ComboBox {
            id: instrumentChoice
            objectName: "instrumentChoice"
            visible: panel.several
            enabled: !panel.busy
            Layout.fillWidth: true
            Layout.preferredWidth: 1
            implicitHeight: panel.compact ? 24 : 30
            model: panel.instruments.map(panel.instrumentText)
            currentIndex: panel.chosenIndex()
            // A new list makes the box take its first entry: the choice stays the processor's.
            onModelChanged: currentIndex = Qt.binding(panel.chosenIndex)
            displayText: currentIndex < 0 ? qsTr("Choose one by serial number...") : currentText
            // Arrow keys and the list both choose; the processor then opens that one.
            onActivated: {
                if (panel.processor && index >= 0 && index < panel.instruments.length)
                    panel.processor.chooseInstrument(panel.instruments[index].serial)
            }
            Accessible.name: qsTr("Instrument by serial number")
            Accessible.description: displayText
            FocusFrame {}
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
