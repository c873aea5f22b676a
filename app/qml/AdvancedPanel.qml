import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// The Advanced tab: one file, as the Bootloader (FPGA bitstream, at 0) or
// as the Application (at 0x500000); and the diagnosis of the bridge, the
// wiring and the flash.
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

    padding: 6
    // Both from the column, never from the width it is given back.
    contentWidth: advancedColumn.implicitWidth
    contentHeight: advancedColumn.implicitHeight

    ColumnLayout {
        id: advancedColumn
        anchors.left: parent.left
        anchors.right: parent.right
        spacing: 4

        RowLayout {
            spacing: 8
            Label {
                id: firmwareTypeLabel
                objectName: "firmwareTypeLabel"
                text: qsTr("Firmware Type:")
            }
            LoaderRadioButton {
                id: bootloaderRadio
                objectName: "bootloaderRadio"
                text: qsTr("Bootloader (FPGA bitstream)")
                enabled: !advancedTab.busy
                onCheckedChanged: advancedTab.firmwareTypeChosen()
                Accessible.description: firmwareTypeLabel.text
            }
            LoaderRadioButton {
                id: applicationRadio
                objectName: "applicationRadio"
                text: qsTr("Application")
                checked: true
                enabled: !advancedTab.busy
                onCheckedChanged: advancedTab.firmwareTypeChosen()
                Accessible.description: firmwareTypeLabel.text
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 8

            LoaderButton {
                id: selectFileButton
                objectName: "selectFileButton"
                text: qsTr("Select File...")
                enabled: !advancedTab.busy
                onClicked: advancedTab.selectFileClicked()
            }

            Label {
                id: fileLabel
                objectName: "fileLabel"
                Layout.fillWidth: true
                Layout.preferredWidth: 1
                // The file name is the part that matters: the folders give way first.
                elide: Text.ElideMiddle
                text: advancedTab.firmwareFile !== "" ? advancedTab.firmwareFile : qsTr("No file selected.")
                Accessible.role: Accessible.StaticText
                Accessible.name: qsTr("File: %1").arg(text)
                ToolTip.text: advancedTab.firmwareFile
                ToolTip.visible: advancedTab.firmwareFile !== "" && fileLabelHover.hovered
                ToolTip.delay: 500

                HoverHandler {
                    id: fileLabelHover
                }
            }
        }

        LoaderButton {
            id: diagnoseButton
            objectName: "diagnoseButton"
            text: qsTr("Diagnose")
            enabled: !advancedTab.busy
            onClicked: advancedTab.diagnoseClicked()
        }
    }
}
