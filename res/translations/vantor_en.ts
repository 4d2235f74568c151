<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>AddDlg</name>
    <message>
        <source>保存</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>密码</source>
        <translation>Password</translation>
    </message>
    <message>
        <source>UID 不能超过 %1 个字符（现在是 %2 个）。</source>
        <translation>The UID may have at most %1 characters (this one has %2).</translation>
    </message>
</context>
<context>
    <name>CUploadFileDlg</name>
    <message>
        <source>批量上传</source>
        <translation>Batch upload</translation>
    </message>
    <message>
        <source>正在获取设备列表，请稍候...</source>
        <translation>Getting the device list, please wait...</translation>
    </message>
    <message>
        <source>设备列表</source>
        <translation>Devices</translation>
    </message>
    <message>
        <source>关闭(&amp;C)</source>
        <translation>&amp;Close</translation>
    </message>
    <message>
        <source>上传</source>
        <translation>Upload</translation>
    </message>
    <message>
        <source>删除</source>
        <translation>Delete</translation>
    </message>
    <message>
        <source>设备列表获取失败，请检查设备连接状态。</source>
        <translation>Could not get the device list. Please check the device connections.</translation>
    </message>
    <message>
        <source>设备列表获取完毕，当前无设备连接。</source>
        <translation>Device list done: no device is connected.</translation>
    </message>
    <message>
        <source>设备列表获取成功。</source>
        <translation>Device list obtained.</translation>
    </message>
    <message>
        <source>未知状态</source>
        <translation>Unknown state</translation>
    </message>
    <message>
        <source>准备上传，请稍候...</source>
        <translation>Preparing the upload, please wait...</translation>
    </message>
    <message>
        <source>正在执行删除，请稍候...</source>
        <translation>Deleting, please wait...</translation>
    </message>
    <message>
        <source>正在上传图片：%1/%2</source>
        <translation>Uploading pictures: %1/%2</translation>
    </message>
    <message>
        <source>正在上传视频：%1/%2</source>
        <translation>Uploading videos: %1/%2</translation>
    </message>
    <message>
        <source>上传完成</source>
        <translation>Upload complete</translation>
    </message>
    <message>
        <source>删除成功</source>
        <translation>Deleted</translation>
    </message>
    <message>
        <source>缺失组件，请重新安装本程序</source>
        <translation>A component is missing. Please reinstall this program.</translation>
    </message>
    <message>
        <source>与设备连接失败</source>
        <translation>Connection to the device failed</translation>
    </message>
    <message>
        <source>上传目录创建失败</source>
        <translation>Could not create the upload folder</translation>
    </message>
    <message>
        <source>文件删除失败</source>
        <translation>Deleting the files failed</translation>
    </message>
    <message>
        <source>操作已完成</source>
        <translation>Operation completed</translation>
    </message>
</context>
<context>
    <name>CVantorApp</name>
    <message>
        <source>无法在当前文件夹中写入文件：
%1
（%2）

Vantor 把设备列表、录像和上传的文件都保存在当前文件夹中。请在可以写入的文件夹中启动 Vantor，或从应用程序菜单启动它（使用 ~/Vantor 文件夹）。</source>
        <translation>Cannot write files in the current folder:
%1
(%2)

Vantor keeps the device list, recordings and uploaded files in the current folder. Start Vantor in a folder you can write to, or from the applications menu (which uses the folder ~/Vantor).</translation>
    </message>
</context>
<context>
    <name>CVantorDlg</name>
    <message>
        <source>上传文件(&amp;U)</source>
        <translation>&amp;Upload files</translation>
    </message>
    <message>
        <source>添加(&amp;A)</source>
        <translation>&amp;Add</translation>
    </message>
    <message>
        <source>删除(&amp;D)</source>
        <translation>&amp;Delete</translation>
    </message>
    <message>
        <source>对讲(&amp;S)</source>
        <translation>&amp;Talk</translation>
    </message>
    <message>
        <source>录制(&amp;W)</source>
        <translation>&amp;Record</translation>
    </message>
    <message>
        <source>设备UID</source>
        <translation>Device UID</translation>
    </message>
    <message>
        <source>直播状态</source>
        <translation>Live status</translation>
    </message>
    <message>
        <source>对讲状态</source>
        <translation>Talk status</translation>
    </message>
    <message>
        <source>录制状态</source>
        <translation>Record status</translation>
    </message>
    <message>
        <source>就绪</source>
        <translation>Ready</translation>
    </message>
    <message>
        <source>正在停止</source>
        <translation>Stopping</translation>
    </message>
    <message>
        <source>正在启动</source>
        <translation>Starting</translation>
    </message>
    <message>
        <source>准备录制</source>
        <translation>Preparing</translation>
    </message>
    <message>
        <source>连接中</source>
        <translation>Connecting</translation>
    </message>
    <message>
        <source>正在直播</source>
        <translation>Live</translation>
    </message>
    <message>
        <source>直播失败</source>
        <translation>Live failed</translation>
    </message>
    <message>
        <source>正在对讲</source>
        <translation>Talking</translation>
    </message>
    <message>
        <source>启动失败</source>
        <translation>Start failed</translation>
    </message>
    <message>
        <source>正在录制</source>
        <translation>Recording</translation>
    </message>
    <message>
        <source>录制失败</source>
        <translation>Recording failed</translation>
    </message>
</context>
</TS>
