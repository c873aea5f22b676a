import QtQuick 2.15
import QtQuick.Controls 2.15

// The Advanced tab: one file, as bootloader (the FPGA bitstream, at 0) or as
// application; and the diagnosis of the bridge, the wiring and the flash.
Pane {
    id: advancedTab
    objectName: "advancedTab"

    property bool busy: false
    property string firmwareFile: ""
    readonly property alias bootloaderChosen: bootloaderRadio.checked

    // The firmware type changed (once for each radio button that changed).
    signal firmwareTypeChosen()
    signal selectFileClicked()
    signal diagnoseClicked()

    Column {
        width: parent.width
        spacing: 8

        GroupBox {
            id: firmwareTypeBox
            objectName: "firmwareTypeBox"
            title: qsTr("Firmware Type")

            Row {
                RadioButton {
                    id: bootloaderRadio
                    objectName: "bootloaderRadio"
                    text: qsTr("Bootloader")
                    enabled: !advancedTab.busy
                    onCheckedChanged: advancedTab.firmwareTypeChosen()
                }
                RadioButton {
                    id: applicationRadio
                    objectName: "applicationRadio"
                    text: qsTr("Application")
                    checked: true
                    enabled: !advancedTab.busy
                    onCheckedChanged: advancedTab.firmwareTypeChosen()
                }
            }
        }

        Button {
            id: selectFileButton
            objectName: "selectFileButton"
            text: qsTr("Select File...")
            enabled: !advancedTab.busy
            onClicked: advancedTab.selectFileClicked()
        }

        Label {
            id: fileLabel
            objectName: "fileLabel"
            width: parent.width
            // The file name is the part that matters: the folders give way first.
            elide: Text.ElideMiddle
            text: advancedTab.firmwareFile !== "" ? advancedTab.firmwareFile : qsTr("No file selected.")
            ToolTip.text: advancedTab.firmwareFile
            ToolTip.visible: advancedTab.firmwareFile !== "" && fileLabelHover.hovered
            ToolTip.delay: 500

            HoverHandler {
                id: fileLabelHover
            }
        }

        Button {
            id: diagnoseButton
            objectName: "diagnoseButton"
            text: qsTr("Diagnose")
            enabled: !advancedTab.busy
            onClicked: advancedTab.diagnoseClicked()
        }
    }
}
