import QtQuick 2.15
import QtQuick.Controls 2.15

// After a run or a failed detection: what happened, the instrument's state
// and what to do next, as the processor words it. Scrolls when the window
// leaves it less room than it needs.
Frame {
    id: panel
    objectName: "outcomePanel"

    property string kind: ""
    property string title: ""
    property string text: ""
    property var steps: []
    property bool compact: false
    property color errorColor
    property color successColor

    readonly property color kindColor: kind === "success" ? successColor : errorColor
    // What the whole panel needs, for the layout around it.
    readonly property real contentNeeds: body.implicitHeight + topPadding + bottomPadding
    implicitHeight: contentNeeds

    padding: compact ? 4 : 8
    Accessible.role: Accessible.Grouping
    Accessible.name: title

    background: Rectangle {
        color: "transparent"
        border.color: panel.kindColor
        border.width: 1
        radius: 2
        Rectangle {
            width: 4
            height: parent.height
            color: panel.kindColor
        }
    }

    Flickable {
        id: scroller
        anchors.fill: parent
        anchors.leftMargin: 6
        clip: true
        contentWidth: width
        contentHeight: body.implicitHeight
        boundsBehavior: Flickable.StopAtBounds
        ScrollBar.vertical: ScrollBar {
            policy: scroller.contentHeight > scroller.height + 1 ? ScrollBar.AlwaysOn : ScrollBar.AlwaysOff
        }

        Column {
            id: body
            // Room kept for the scroll bar whether it shows or not, so the
            // text wraps the same either way.
            width: scroller.width - 14
            spacing: panel.compact ? 2 : 4

            Label {
                id: titleLabel
                objectName: "outcomeTitle"
                width: body.width
                text: panel.title
                font.bold: true
                color: panel.kindColor
                wrapMode: Text.Wrap
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }
            Label {
                objectName: "outcomeText"
                width: body.width
                text: panel.text
                wrapMode: Text.Wrap
                visible: text !== ""
                Accessible.role: Accessible.StaticText
                Accessible.name: text
            }
            Repeater {
                model: panel.steps
                Label {
                    objectName: "outcomeStep"
                    x: 8
                    width: body.width - x
                    text: (index + 1) + ". " + modelData
                    wrapMode: Text.Wrap
                    Accessible.role: Accessible.StaticText
                    Accessible.name: text
                }
            }
        }
    }
}
