<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>ClassroomPage</name>
    <message>
        <source>网络课堂</source>
        <translation>Online classroom</translation>
    </message>
    <message>
        <source>课堂号</source>
        <translation>Classroom</translation>
    </message>
    <message>
        <source>未开始直播</source>
        <translation>Not live</translation>
    </message>
    <message>
        <source>直播中</source>
        <translation>Live</translation>
    </message>
    <message>
        <source>教师端</source>
        <translation>Teacher</translation>
    </message>
    <message>
        <source>课堂准备中</source>
        <translation>Classroom getting ready</translation>
    </message>
    <message>
        <source>课堂已打开</source>
        <translation>Classroom open</translation>
    </message>
    <message>
        <source>zh-CN</source>
        <extracomment>The language code of the translation (the classroom page&apos;s lang attribute).</extracomment>
        <translation>en</translation>
    </message>
</context>
<context>
    <name>app::CAboutDlg</name>
    <message>
        <source>新一代网络教学系统(Tutorlane) 教师直播客户端

v1.3 (Build 140423.1306)
  · 画中画直播：大画面可选桌面或摄像头
  · 断线后每两秒自动重新连接服务器
  · 直播参数保存在程序目录的 config.ini 中

v1.2
  · 极速开课模式：无课堂地址时自动开通网络课堂
  · 支持通过 zembra.publish:// 链接从课堂网页启动

v1.1
  · 增加音频设备选择与“发送音频”开关
  · 速率设定可在 80-800 kb 之间调整

v1.0
  · 首个版本：电脑桌面与摄像头视频直播，H.264 视频与 AAC 音频
</source>
        <translation>Tutorlane online teaching: teacher&apos;s live broadcaster

v1.3 (Build 140423.1306)
  · Picture-in-picture broadcasts: the large picture is the desktop or the camera
  · Reconnects to the server every two seconds after a dropped line
  · Broadcast settings are kept in config.ini in the program folder

v1.2
  · Quick class mode: a classroom is opened when there is no classroom address
  · Starts from the classroom web page through zembra.publish:// links

v1.1
  · Audio device choice and the &quot;Send audio&quot; switch
  · The bit rate can be set between 80 and 800 kbit/s

v1.0
  · First version: desktop and camera broadcasts, H.264 video and AAC audio
</translation>
    </message>
    <message>
        <source>关于</source>
        <translation>About</translation>
    </message>
    <message>
        <source>Tutorlane 网络教学 —— 在线课堂与直播软件</source>
        <translation>Tutorlane online teaching: live classroom software</translation>
    </message>
    <message>
        <source>版权所有，承接定制开发</source>
        <translation>All rights reserved; custom development on request</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>程序图标</source>
        <translation>Program icon</translation>
    </message>
    <message>
        <source>版本历史</source>
        <translation>Version history</translation>
    </message>
</context>
<context>
    <name>app::CBroadcasterDlg</name>
    <message>
        <source>关于(&amp;A)...</source>
        <translation>&amp;About...</translation>
    </message>
    <message>
        <source>请输入一个整数。</source>
        <translation>Please enter a whole number.</translation>
    </message>
    <message>
        <source>状态：正在连接服务器…</source>
        <translation>Status: connecting to the server…</translation>
    </message>
    <message>
        <source>无法开始直播: %1</source>
        <translation>Cannot start the broadcast: %1</translation>
    </message>
    <message>
        <source>状态：正在停止…</source>
        <translation>Status: stopping…</translation>
    </message>
    <message>
        <source>切换到课堂 %1（服务器 %2）？</source>
        <translation>Switch to classroom %1 (server %2)?</translation>
    </message>
    <message>
        <source>
切换在重新开始直播后生效。</source>
        <translation>
The switch takes effect when the broadcast starts again.</translation>
    </message>
    <message>
        <source>重新开始直播后才能生效</source>
        <translation>Takes effect when the broadcast starts again</translation>
    </message>
    <message>
        <source>状态：未在直播</source>
        <translation>Status: not broadcasting</translation>
    </message>
    <message>
        <source>直播结束!</source>
        <translation>Broadcast ended!</translation>
    </message>
    <message>
        <source>开始直播</source>
        <translation>Start broadcast</translation>
    </message>
    <message>
        <source>停止直播</source>
        <translation>Stop broadcast</translation>
    </message>
    <message>
        <source>提示：点击【开始直播】按钮，向学生们展示你的电脑桌面和摄像头视频。</source>
        <translation>Tip: press [Start broadcast] to go live.</translation>
    </message>
    <message>
        <source>参数设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>画面类型</source>
        <translation>Picture</translation>
    </message>
    <message>
        <source>视频设备</source>
        <translation>Camera</translation>
    </message>
    <message>
        <source>音频设备</source>
        <translation>Audio</translation>
    </message>
    <message>
        <source>速率设定</source>
        <translation>Bit rate</translation>
    </message>
    <message>
        <source>kb（建议80-800）</source>
        <translation>kbit/s (80-800)</translation>
    </message>
    <message>
        <source>发送音频</source>
        <translation>Send audio</translation>
    </message>
    <message>
        <source>*更改参数后，再次开始直播时生效</source>
        <translation>*Changes apply from the next start</translation>
    </message>
    <message>
        <source>停止直播吗？</source>
        <translation>Stop the broadcast?</translation>
    </message>
    <message>
        <source>Tutorlane 标志</source>
        <translation>Tutorlane logo</translation>
    </message>
    <message>
        <source>视频预览</source>
        <translation>Video preview</translation>
    </message>
    <message>
        <source>学生们看到的画面</source>
        <translation>The picture the students see</translation>
    </message>
    <message>
        <source>向学生们展示你的电脑桌面和摄像头视频</source>
        <translation>Shows your students your desktop and camera</translation>
    </message>
    <message>
        <source>结束这次直播</source>
        <translation>Ends this broadcast</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>Status</translation>
    </message>
    <message>
        <source>直播电脑桌面、摄像头，或两者画中画</source>
        <translation>The desktop, the camera, or both as picture in picture</translation>
    </message>
    <message>
        <source>直播用的摄像头</source>
        <translation>The camera to broadcast</translation>
    </message>
    <message>
        <source>直播用的麦克风</source>
        <translation>The microphone to broadcast</translation>
    </message>
    <message>
        <source>单位 kb，建议 80 到 800</source>
        <translation>In kbit/s, 80 to 800 suggested</translation>
    </message>
    <message>
        <source>把麦克风的声音一起直播</source>
        <translation>Broadcasts the microphone&apos;s sound too</translation>
    </message>
    <message>
        <source>课堂</source>
        <translation>Classroom</translation>
    </message>
    <message>
        <source>学生们所在的网络课堂</source>
        <translation>The online classroom your students are in</translation>
    </message>
    <message>
        <source>菜单</source>
        <translation>Menu</translation>
    </message>
    <message>
        <source>关于本程序</source>
        <translation>About this program</translation>
    </message>
</context>
<context>
    <name>app::LevelMeterBar</name>
    <message>
        <source>麦克风音量</source>
        <translation>Microphone level</translation>
    </message>
    <message>
        <source>关</source>
        <translation>Off</translation>
    </message>
    <message>
        <source>无输入</source>
        <translation>No input</translation>
    </message>
    <message>
        <source>无声</source>
        <translation>Silent</translation>
    </message>
    <message>
        <source>不发送音频</source>
        <translation>Audio not sent</translation>
    </message>
    <message>
        <source>没有声音输入</source>
        <translation>No sound input</translation>
    </message>
    <message>
        <source>峰值 %1 dBFS，均方根 %2 dBFS</source>
        <translation>Peak %1 dBFS, RMS %2 dBFS</translation>
    </message>
</context>
<context>
    <name>connection</name>
    <message>
        <source>服务器证书无法验证：</source>
        <extracomment>A certificate check that failed: the check&apos;s words follow the colon.</extracomment>
        <translation>The server certificate could not be verified: </translation>
    </message>
    <message>
        <source>无法与服务器 %1 建立加密连接</source>
        <translation>Cannot set up an encrypted connection to the server %1</translation>
    </message>
    <message>
        <source>%1 的证书不是受信任的机构签发的</source>
        <translation>the certificate of %1 was not issued by a trusted authority</translation>
    </message>
    <message>
        <source>证书不属于 %1</source>
        <translation>the certificate does not belong to %1</translation>
    </message>
    <message>
        <source>%1 的证书已过期</source>
        <translation>the certificate of %1 has expired</translation>
    </message>
    <message>
        <source>%1 的证书尚未生效，请检查电脑的日期和时间</source>
        <translation>the certificate of %1 is not valid yet; check the computer&apos;s date and time</translation>
    </message>
    <message>
        <source>无法使用证书文件 %1（TlsCaFile）</source>
        <translation>Cannot use the certificate file %1 (TlsCaFile)</translation>
    </message>
    <message>
        <source>连接服务器失败</source>
        <translation>Cannot connect to the server</translation>
    </message>
    <message>
        <source>无法建立加密连接</source>
        <translation>No encrypted connection</translation>
    </message>
    <message>
        <source>服务器证书不受信任</source>
        <translation>Server certificate not trusted</translation>
    </message>
    <message>
        <source>服务器证书不属于该服务器</source>
        <translation>Certificate of another server</translation>
    </message>
    <message>
        <source>服务器证书已过期</source>
        <translation>Server certificate expired</translation>
    </message>
    <message>
        <source>服务器证书尚未生效</source>
        <translation>Server certificate not yet valid</translation>
    </message>
    <message>
        <source>证书文件无法使用</source>
        <translation>Certificate file unusable</translation>
    </message>
</context>
<context>
    <name>console</name>
    <message>
        <source>usage: broadcast_console [--seconds N] [--config FILE] [--audio-device DEVICE] [--local-copy DIR | --no-local-copy] [--ca-file PEM] [zembra.publish://...]</source>
        <translation>usage: broadcast_console [--seconds N] [--config FILE] [--audio-device DEVICE] [--local-copy DIR | --no-local-copy] [--ca-file PEM] [zembra.publish://...]</translation>
    </message>
    <message>
        <source>no screen to capture: no display could be opened; set ScreenWidth and ScreenHeight (or DISPLAY on Linux)</source>
        <translation>no screen to capture: no display could be opened; set ScreenWidth and ScreenHeight (or DISPLAY on Linux)</translation>
    </message>
    <message>
        <source>classroom %1: publishing to %2</source>
        <translation>classroom %1: publishing to %2</translation>
    </message>
    <message>
        <source>%1: cannot connect and publish to %2</source>
        <translation>%1: cannot connect and publish to %2</translation>
    </message>
    <message>
        <source>watch it with: %1</source>
        <translation>watch it with: %1</translation>
    </message>
    <message>
        <source>直播结束!</source>
        <translation>Broadcast ended!</translation>
    </message>
    <message>
        <source>frames %1</source>
        <translation>frames %1</translation>
    </message>
    <message>
        <source>%1 kbit/s (target %2)</source>
        <translation>%1 kbit/s (target %2)</translation>
    </message>
    <message>
        <source>delay %1 ms</source>
        <translation>delay %1 ms</translation>
    </message>
    <message>
        <source>skipped %1</source>
        <translation>skipped %1</translation>
    </message>
    <message>
        <source>dropped %1</source>
        <translation>dropped %1</translation>
    </message>
    <message>
        <source>audio blocks %1</source>
        <translation>audio blocks %1</translation>
    </message>
    <message>
        <source>up</source>
        <translation>up</translation>
    </message>
    <message>
        <source>reconnecting</source>
        <translation>reconnecting</translation>
    </message>
    <message>
        <source>reconnects %1</source>
        <translation>reconnects %1</translation>
    </message>
</context>
<context>
    <name>instance</name>
    <message>
        <source>程序正在运行，不能运行多个副本</source>
        <translation>The program is already running; only one copy can run</translation>
    </message>
    <message>
        <source>无法确认程序是否已在运行，程序不能启动: </source>
        <translation>Cannot tell whether the program is already running, so it cannot start: </translation>
    </message>
    <message>
        <source>课堂地址未能交给正在运行的程序: </source>
        <translation>The classroom address could not be handed to the running program: </translation>
    </message>
    <message>
        <source>以后启动时的课堂地址无法交给本窗口: </source>
        <translation>Classroom addresses of later starts cannot reach this window: </translation>
    </message>
</context>
<context>
    <name>launch</name>
    <message>
        <source>课堂地址太长（%1 字节，最多 %2 字节），不能使用。</source>
        <translation>The classroom address is too long (%1 bytes, at most %2 bytes) and cannot be used.</translation>
    </message>
    <message>
        <source>您使用的是【极速开课模式】, 系统已经自动为您开通了网络课堂, 课堂ID是%1, 请在软件界面左上方点击【上课】按钮, 然后邀请更多人参加你的课堂.</source>
        <translation>You are using [Quick class mode]: an online classroom has been opened for you, classroom ID %1. Press [Start broadcast] at the top left of the window, then invite others to your classroom.</translation>
    </message>
</context>
<context>
    <name>local_copy</name>
    <message>
        <source>文件夹不可写入</source>
        <translation>the folder cannot be written to</translation>
    </message>
    <message>
        <source>文件夹无法创建</source>
        <translation>the folder cannot be created</translation>
    </message>
    <message>
        <source>磁盘空间不足</source>
        <translation>the disk is full</translation>
    </message>
    <message>
        <source>路径太长</source>
        <translation>the path is too long</translation>
    </message>
    <message>
        <source>无法写入文件</source>
        <translation>the file cannot be written</translation>
    </message>
    <message>
        <source>文件超出磁盘允许的大小</source>
        <translation>the file is larger than the disk allows</translation>
    </message>
    <message>
        <source>无法写入磁盘</source>
        <translation>the disk cannot be written to</translation>
    </message>
    <message>
        <source>磁盘太慢</source>
        <translation>the disk is too slow</translation>
    </message>
    <message>
        <source>%1：%2</source>
        <extracomment>What happened to the local copy, then why.</extracomment>
        <translation>%1: %2</translation>
    </message>
    <message>
        <source>本地录制中</source>
        <translation>Recording locally</translation>
    </message>
    <message>
        <source>未能本地录制</source>
        <translation>No local recording</translation>
    </message>
    <message>
        <source>本地录制已停止</source>
        <translation>Local recording stopped</translation>
    </message>
    <message>
        <source>本地录制提前停止（%1），已录下的 %2 保存在：</source>
        <translation>The local recording stopped early (%1); the %2 recorded are saved in:</translation>
    </message>
    <message>
        <source>本课的录像（%1）已保存在：</source>
        <translation>The lesson&apos;s recording (%1) is saved in:</translation>
    </message>
    <message>
        <source>打开所在的文件夹吗？</source>
        <translation>Open its folder?</translation>
    </message>
    <message>
        <source>本地录像: 已关闭</source>
        <translation>Local recording: off</translation>
    </message>
    <message>
        <source>没有本地录像</source>
        <translation>No local recording</translation>
    </message>
    <message>
        <source>本地录像: </source>
        <translation>Local recording: </translation>
    </message>
    <message>
        <source>提前停止: </source>
        <translation>stopped early: </translation>
    </message>
    <message>
        <source>已保存</source>
        <translation>saved</translation>
    </message>
</context>
<context>
    <name>message_box</name>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>是(&amp;Y)</source>
        <translation>&amp;Yes</translation>
    </message>
    <message>
        <source>否(&amp;N)</source>
        <translation>&amp;No</translation>
    </message>
</context>
<context>
    <name>screen</name>
    <message>
        <source>无法共享屏幕: Cannot share the screen: this desktop session has no session bus (D-Bus), through which a Wayland desktop shares its screen.</source>
        <translation>Cannot share the screen: this desktop session has no session bus (D-Bus), through which a Wayland desktop shares its screen.</translation>
    </message>
    <message>
        <source>无法共享屏幕: Cannot share the screen: the desktop&apos;s screen-sharing service (xdg-desktop-portal) is not running or not installed.</source>
        <translation>Cannot share the screen: the desktop&apos;s screen-sharing service (xdg-desktop-portal) is not running or not installed.</translation>
    </message>
    <message>
        <source>无法共享屏幕: Cannot share the screen: the desktop&apos;s portal offers no screen sharing (ScreenCast); install the portal of your desktop (for example xdg-desktop-portal-gnome, -kde or -wlr).</source>
        <translation>Cannot share the screen: the desktop&apos;s portal offers no screen sharing (ScreenCast); install the portal of your desktop (for example xdg-desktop-portal-gnome, -kde or -wlr).</translation>
    </message>
    <message>
        <source>屏幕共享已取消: Screen sharing was cancelled in the desktop&apos;s dialog: the broadcast did not start.</source>
        <translation>Screen sharing was cancelled in the desktop&apos;s dialog: the broadcast did not start.</translation>
    </message>
    <message>
        <source>无法共享屏幕: The desktop refused to share the screen: the broadcast did not start.</source>
        <translation>The desktop refused to share the screen: the broadcast did not start.</translation>
    </message>
    <message>
        <source>无法共享屏幕: The desktop did not answer the request to share the screen in time.</source>
        <translation>The desktop did not answer the request to share the screen in time.</translation>
    </message>
    <message>
        <source>无法共享屏幕: Sharing the screen failed: the desktop&apos;s portal gave an answer this program cannot use.</source>
        <translation>Sharing the screen failed: the desktop&apos;s portal gave an answer this program cannot use.</translation>
    </message>
    <message>
        <source>屏幕共享已结束: Screen sharing ended (the desktop stopped sharing the screen): the broadcast keeps showing the last picture of the screen.</source>
        <translation>Screen sharing ended (the desktop stopped sharing the screen): the broadcast keeps showing the last picture of the screen.</translation>
    </message>
    <message>
        <source>无法共享屏幕: Cannot share the screen: the desktop granted it, but its picture stream did not start.</source>
        <translation>Cannot share the screen: the desktop granted it, but its picture stream did not start.</translation>
    </message>
    <message>
        <source>无法共享屏幕: Cannot share the screen: this build has no Wayland screen capture (the portal grabber was switched off); set ScreenCapture=x11 to capture through the X server.</source>
        <translation>Cannot share the screen: this build has no Wayland screen capture (the portal grabber was switched off); set ScreenCapture=x11 to capture through the X server.</translation>
    </message>
</context>
<context>
    <name>settings</name>
    <message>
        <source>设置有误: %1=%2, 应为 %3 到 %4</source>
        <translation>Wrong setting: %1=%2, must be %3 to %4</translation>
    </message>
    <message>
        <source>参数有误!</source>
        <translation>Wrong parameters!</translation>
    </message>
    <message>
        <source>设置无法保存: </source>
        <translation>The settings cannot be saved: </translation>
    </message>
    <message>
        <source>设置无法读取: </source>
        <translation>The settings cannot be read: </translation>
    </message>
</context>
<context>
    <name>window</name>
    <message>
        <source>新一代网络教学系统(Tutorlane) %1</source>
        <translation>Tutorlane online teaching %1</translation>
    </message>
    <message>
        <source>新一代网络教学系统</source>
        <translation>Online teaching</translation>
    </message>
    <message>
        <source>视频预览</source>
        <translation>Video preview</translation>
    </message>
    <message>
        <source>仅直播电脑桌面</source>
        <translation>Desktop only</translation>
    </message>
    <message>
        <source>仅直播摄像头</source>
        <translation>Camera only</translation>
    </message>
    <message>
        <source>画中画（大画面是桌面）</source>
        <translation>Desktop, camera inset</translation>
    </message>
    <message>
        <source>画中画（大画面是摄像头）</source>
        <translation>Camera, desktop inset</translation>
    </message>
    <message>
        <source>Tutorlane 新一代网络教学系统 · 网络课堂直播客户端</source>
        <translation>Tutorlane online teaching · live classroom broadcaster</translation>
    </message>
    <message>
        <source>直播中</source>
        <translation>live</translation>
    </message>
    <message>
        <source>正在重新连接…</source>
        <translation>reconnecting…</translation>
    </message>
    <message>
        <source>状态：%1  %2</source>
        <translation>Status: %1  %2</translation>
    </message>
    <message>
        <source>未发送音频：音频设备无法使用</source>
        <translation>No audio sent: the audio device cannot be used</translation>
    </message>
    <message>
        <source>未发送音频</source>
        <translation>No audio sent</translation>
    </message>
    <message>
        <source>麦克风没有声音</source>
        <translation>The microphone is silent</translation>
    </message>
    <message>
        <source>摄像头：</source>
        <translation>Camera: </translation>
    </message>
    <message>
        <source>摄像头无法使用</source>
        <translation>Camera unusable</translation>
    </message>
    <message>
        <source>丢包 %1</source>
        <translation>dropped %1</translation>
    </message>
    <message>
        <source>跳帧 %1</source>
        <translation>skipped %1</translation>
    </message>
    <message>
        <source>延迟 %1 ms</source>
        <translation>delay %1 ms</translation>
    </message>
    <message>
        <source>目标 %1 kbit/s</source>
        <translation>target %1 kbit/s</translation>
    </message>
</context>
</TS>
