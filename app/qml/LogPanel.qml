import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// The activity log: its title, "Save Log...", and every row.
ColumnLayout {
    id: logPanel
    spacing: 8

    property var rows: []
    property color errorColor
    property font logFont

    signal saveLogClicked()

    RowLayout {
        Layout.fillWidth: true

        Label {
            id: logTitle
            objectName: "logTitle"
            text: "Activity Log"
            Layout.fillWidth: true
        }
        Button {
            id: saveLogButton
            objectName: "saveLogButton"
            text: qsTr("Save Log...")
            onClicked: logPanel.saveLogClicked()
        }
    }

    Pane {
        id: logPane
        objectName: "logPane"
        Layout.fillWidth: true
        Layout.fillHeight: true
        padding: 4
        background: Rectangle { color: "white" }

        ListView {
            id: messagesListView
            objectName: "messagesListView"
            anchors.fill: parent
            clip: true
            model: logPanel.rows

            // Follows the newest row while the view is at its end; a
            // user scrolling back (wheel, drag, scroll bar) stops that
            // until scrolling down to the end again. A move of the view
            // while its content keeps its height is the user's.
            property bool followNewest: true
            property bool autoScrolling: false
            property real knownContentHeight: 0
            function follow() {
                if (!followNewest || moving)
                    return
                autoScrolling = true
                positionViewAtEnd()
                autoScrolling = false
            }

            delegate: TextEdit {
                objectName: "logRow"
                width: messagesListView.width - logScrollBar.width - 2
                text: model.display
                color: model.error ? logPanel.errorColor : "black"
                font: logPanel.logFont
                textFormat: TextEdit.PlainText
                wrapMode: TextEdit.Wrap
                readOnly: true
                selectByMouse: true
                persistentSelection: false
            }

            ScrollBar.vertical: ScrollBar {
                id: logScrollBar
                objectName: "logScrollBar"
                policy: ScrollBar.AlwaysOn
                // Still something to grab with a hundred thousand rows.
                minimumSize: messagesListView.height > 0 ? Math.min(1, 32 / messagesListView.height) : 0
            }

            onContentYChanged: {
                if (!autoScrolling && height > 0 && (moving || contentHeight === knownContentHeight))
                    followNewest = atYEnd
            }
            onMovementEnded: followNewest = atYEnd
            onContentHeightChanged: {
                knownContentHeight = contentHeight
                follow()
            }
            // ...also when the log pane itself changes size with the tab shown.
            onHeightChanged: follow()
        }
    }
}
