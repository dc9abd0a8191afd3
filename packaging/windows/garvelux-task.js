// Run by the installer as its own account: registers the scheduled task
// from the shipped definition, pointed at this installation, the server
// and the log. CustomActionData: schtasks.exe|program folder|server|log.
function registerTask() {
    var data = Session.Property("CustomActionData").split("|");
    var schtasks = data[0], folder = data[1], server = data[2], log = data[3];
    var fso = new ActiveXObject("Scripting.FileSystemObject");
    // Both files in UTF-16, as Windows writes a task definition.
    var xml = fso.OpenTextFile(folder + "garvelux-task.xml", 1, false, -1).ReadAll();
    var command = "<Command>\"" + text(folder + "garvelux.exe") + "\"</Command>";
    var args = "<Arguments>" + text(server + " /L" + log) + "</Arguments>";
    xml = xml.replace(/<Command>[^<]*<\/Command>/, function () { return command; })
             .replace(/<Arguments>[^<]*<\/Arguments>/, function () { return args; });
    var definition = fso.GetSpecialFolder(2).Path + "\\garvelux-task.xml";
    var file = fso.CreateTextFile(definition, true, true);
    file.Write(xml);
    file.Close();
    var shell = new ActiveXObject("WScript.Shell");
    var code = shell.Run("\"" + schtasks + "\" /Create /TN GARVELUX /XML \"" + definition +
                         "\" /F", 0, true);
    fso.DeleteFile(definition);
    return code == 0 ? 1 : 3; // success, or the installation fails and rolls back
}

function text(value) {
    return value.replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;");
}
