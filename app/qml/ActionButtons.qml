import QtQuick 2.15
import QtQuick.Controls 2.15

// "Refresh Device" and "Load Firmware".
Row {
    id: actions

    property bool busy: false
    property bool canLoad: false

    signal refreshClicked()
    signal loadClicked()

    spacing: 8

    LoaderButton {
        id: refreshDeviceButton
        objectName: "refreshDeviceButton"
        text: qsTr("Refresh Device")
        enabled: !actions.busy
        onClicked: actions.refreshClicked()
        Accessible.description: qsTr("Looks again for the instrument and the firmware directory (F5)")
    }
    LoaderButton {
        id: loadFirmwareButton
        objectName: "loadFirmwareButton"
        text: qsTr("Load Firmware")
        enabled: actions.canLoad && !actions.busy
        onClicked: actions.loadClicked()
    }
}
