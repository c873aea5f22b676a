import QtQuick 2.15
import QtQuick.Controls 2.15

// "Refresh Device", "Load Firmware" and, with several instruments
// attached, "Load Firmware on All".
Row {
    id: actions

    property bool busy: false
    property bool canLoad: false
    property bool offerAll: false
    property bool canLoadAll: false

    signal refreshClicked()
    signal loadClicked()
    signal loadAllClicked()

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
    LoaderButton {
        id: loadAllButton
        objectName: "loadAllButton"
        text: qsTr("Load Firmware on All")
        visible: actions.offerAll
        enabled: actions.canLoadAll && !actions.busy
        onClicked: actions.loadAllClicked()
        Accessible.description: qsTr("Loads the firmware into every attached instrument at once")
    }
}
