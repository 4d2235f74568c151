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
    <message>
        <source>无法启动命令，请稍后重试</source>
        <translation>A command could not be started; please try again later</translation>
    </message>
    <message>
        <source>设备列表获取完毕，暂无可用设备。</source>
        <translation>Device list done; no device can be used yet.</translation>
    </message>
    <message>
        <source>%1 台设备等待授权或连接，请在手机上允许 USB 调试。</source>
        <translation> %1 device(s) waiting for authorisation or connection: allow USB debugging on the phone.</translation>
    </message>
    <message>
        <source>%1 台设备无 USB 访问权限，请检查权限设置。</source>
        <translation> %1 device(s) without USB access permission: check the permission settings.</translation>
    </message>
    <message>
        <source>%1 台设备等待空闲行。</source>
        <translation> %1 device(s) waiting for a free row.</translation>
    </message>
    <message>
        <source>设备上没有需要上传的文件</source>
        <translation>Nothing on the device to upload</translation>
    </message>
    <message>
        <source>设备上找不到照片和视频文件夹，请解锁手机后重新上传</source>
        <translation>No photo or video folder found on the device; unlock the phone and upload again</translation>
    </message>
    <message>
        <source>设备无响应，请重新连接设备</source>
        <translation>The device does not respond; please reconnect it</translation>
    </message>
    <message>
        <source>传输过慢，已停止，请重新连接设备后重试</source>
        <translation>The copy was too slow and was stopped; reconnect the device and try again</translation>
    </message>
    <message>
        <source>多台设备使用同一序列号，请只连接其中一台</source>
        <translation>Several devices share this serial number; connect only one of them</translation>
    </message>
    <message>
        <source>文件未能全部复制，请重新上传</source>
        <translation>Not every file was copied; please upload again</translation>
    </message>
    <message>
        <source>本地磁盘空间不足</source>
        <translation>The local disk is full</translation>
    </message>
    <message>
        <source>文件过大，本地磁盘无法保存</source>
        <translation>A file is too large for the local disk</translation>
    </message>
    <message>
        <source>上传目录无法写入</source>
        <translation>The upload folder cannot be written</translation>
    </message>
    <message>
        <source>设备不支持文件校验（缺少 sha256sum），文件未删除</source>
        <translation>The device cannot check its files (no sha256sum); nothing was deleted</translation>
    </message>
    <message>
        <source>%1 个文件上传后在设备上有改动，已保留，请重新上传</source>
        <translation>%1 file(s) changed on the device after the upload and were kept; please upload again</translation>
    </message>
    <message>
        <source>本地副本缺失或有改动，对应文件已保留在设备上</source>
        <translation>Some copies at home are missing or changed; their files were kept on the device</translation>
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
    <message>
        <source>设备 %1 的身份已改变：它出示的密钥是 %2，而记录的是 %3。该设备已被拒绝，新的密钥不会被自动接受。如果确知设备已更换，请从 %4 中删除 %1 那一行，然后重新开始直播。</source>
        <translation>The identity of device %1 has changed: it showed the key %2, but %3 is on record. The device was refused; a new key is never accepted by itself. If you know the device was replaced, delete the line of %1 from %4 and start live view again.</translation>
    </message>
</context>
</TS>
