import QtQuick 2.15
import QtQuick.Controls 2.15
import QtQuick.Layouts 1.15

// The run at a glance: the stage (or what a long wait waits for), how far,
// how long so far and how long still.
ColumnLayout {
    id: progressArea
    objectName: "progressArea"
    spacing: 4

    // A run is under way: it is timed from when this turns true.
    property bool busy: false
    property bool finishingBeforeExit: false
    property string stageText: ""
    property string stageDetail: ""
    property real stageProgress: 0
    property real runProgress: 0
    // The processor's estimate; 0 or less: none yet.
    property real secondsLeft: 0

    property double startedAt: 0
    property double now: 0

    // Seconds as m:ss.
    function clock(seconds) {
        seconds = Math.max(0, Math.round(seconds))
        var minutes = Math.floor(seconds / 60)
        seconds = seconds % 60
        return minutes + ":" + (seconds < 10 ? "0" : "") + seconds
    }

    onBusyChanged: {
        if (busy) {
            startedAt = Date.now()
            now = startedAt
        }
    }
    Timer {
        interval: 250
        repeat: true
        running: progressArea.busy
        onTriggered: progressArea.now = Date.now()
    }

    RowLayout {
        Layout.fillWidth: true
        Label {
            id: stageLabel
            objectName: "stageLabel"
            Layout.fillWidth: true
            elide: Text.ElideMiddle
            text: progressArea.finishingBeforeExit ? qsTr("Finishing the programming run before exit...")
                  : !progressArea.busy ? qsTr("Idle")
                  : progressArea.stageDetail !== "" ? progressArea.stageDetail
                  : progressArea.stageText !== "" ? progressArea.stageText : qsTr("Programming")
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
        Label {
            id: timeLabel
            objectName: "timeLabel"
            visible: progressArea.busy
            text: {
                var elapsed = Math.max(0, progressArea.now - progressArea.startedAt) / 1000
                var left = progressArea.secondsLeft > 0
                           ? qsTr(", about %1 left").arg(progressArea.clock(progressArea.secondsLeft)) : ""
                return qsTr("stage %1%, run %2%, %3 elapsed")
                       .arg(Math.floor(progressArea.stageProgress * 100)).arg(Math.floor(progressArea.runProgress * 100))
                       .arg(progressArea.clock(elapsed)) + left
            }
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }
    }
    ProgressBar {
        id: runProgressBar
        objectName: "runProgressBar"
        Layout.fillWidth: true
        from: 0
        to: 1
        value: progressArea.busy ? progressArea.runProgress : 0
        Accessible.name: qsTr("Run progress")
        Accessible.description: qsTr("%1 percent").arg(Math.floor(value * 100))
    }
}
