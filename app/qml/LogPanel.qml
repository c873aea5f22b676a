import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// The activity log: its title, "Save Log...", and every row. The list takes
// the keyboard focus and scrolls with the arrow keys, PageUp, PageDown,
// Home and End.
ColumnLayout {
    id: logPanel
    spacing: compact ? 2 : 8

    property var rows: []
    property color errorColor
    property font logFont
    property bool compact: false
    // Rows the log keeps on screen however little room the window has.
    property int minimumRows: 3

    signal saveLogClicked()

    RowLayout {
        Layout.fillWidth: true

        Label {
            id: logTitle
            objectName: "logTitle"
            text: "Activity Log"
            Layout.fillWidth: true
            Accessible.ignored: true
        }
        LoaderButton {
            id: saveLogButton
            objectName: "saveLogButton"
            text: qsTr("Save Log...")
            onClicked: logPanel.saveLogClicked()
            Accessible.description: qsTr("Saves the activity log to a file, for support (Ctrl+S)")
        }
    }

    Pane {
        id: logPane
        objectName: "logPane"
        Layout.fillWidth: true
        Layout.fillHeight: true
        Layout.minimumHeight: fontMetrics.height * logPanel.minimumRows + topPadding + bottomPadding
        padding: 4
        background: Rectangle {
            color: "white"
            border.width: messagesListView.activeFocus ? 2 : 0
            border.color: logPane.palette.highlight
        }

        FontMetrics {
            id: fontMetrics
            font: logPanel.logFont
        }

        ListView {
            id: messagesListView
            objectName: "messagesListView"
            anchors.fill: parent
            clip: true
            model: logPanel.rows
            activeFocusOnTab: true
            // Scrolling is what the keys do here; there is no current row
            // (which would take the focus and the keys).
            keyNavigationEnabled: false
            currentIndex: -1
            Accessible.role: Accessible.List
            Accessible.name: logTitle.text
            Accessible.description: qsTr("%1 rows").arg(count)

            // Follows the newest row while the view is at its end; a
            // user scrolling back (wheel, drag, scroll bar, keys) stops that
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
            function scrollBy(distance) {
                var top = originY
                var bottom = Math.max(originY, originY + contentHeight - height)
                contentY = Math.max(top, Math.min(bottom, contentY + distance))
                returnToBounds()
            }

            Keys.onPressed: function(event) {
                var page = Math.max(fontMetrics.height, height - fontMetrics.height)
                // Rows made on the way change the content's height: the view
                // must not take that for a reason to jump back to the end.
                var wasFollowing = followNewest
                followNewest = false
                switch (event.key) {
                case Qt.Key_Up: scrollBy(-fontMetrics.height); break
                case Qt.Key_Down: scrollBy(fontMetrics.height); break
                case Qt.Key_PageUp: scrollBy(-page); break
                case Qt.Key_PageDown: scrollBy(page); break
                case Qt.Key_Home: positionViewAtBeginning(); break
                case Qt.Key_End: positionViewAtEnd(); break
                default:
                    followNewest = wasFollowing
                    return
                }
                followNewest = atYEnd
                event.accepted = true
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
                Accessible.role: Accessible.StaticText
                Accessible.name: text
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
