// The host's page: takes over the bridge to the host that the document's first script opened
// with the values the host injected (and said hello on), and shows what the host sends.
(function () {
  'use strict';
  var MAX_EVENTS = 200;
  var port = window.__NATIVE_WS_PORT;
  var protocol = window.__QVN_NATIVE_WS_PROTOCOL__ || 2;
  var nextId = 2;  // the hello was request 1
  var bridge = window.__qvnBridge;
  delete window.__qvnBridge;

  function $(id) { return document.getElementById(id); }
  function setState(state) {
    var el = $('state');
    el.textContent = state;
    el.setAttribute('data-state', state);
    document.documentElement.setAttribute('data-bridge', state);
  }
  function addEvent(text) {
    var list = $('events');
    var item = document.createElement('li');
    item.textContent = text;
    list.appendChild(item);
    while (list.children.length > MAX_EVENTS) list.removeChild(list.firstChild);
  }

  // Realtime sources seen in "rt.batch": last seq, gaps seen and the channel ids, by source.
  var sources = {};
  function channelIdsOf(message) {
    var holder = message.declare || message.frame;
    var ids = [];
    if (holder && Array.isArray(holder.channels)) {
      holder.channels.forEach(function (c) { if (c && typeof c.id === 'string') ids.push(c.id); });
    }
    return ids;
  }
  function noteBatch(frames) {
    if (!Array.isArray(frames)) return;
    frames.forEach(function (m) {
      if (!m || typeof m.source !== 'string') return;
      var s = sources[m.source] || (sources[m.source] = { seq: 0, gaps: 0, channels: [] });
      if (typeof m.seq === 'number') s.seq = m.seq;
      if (m.gap) s.gaps += 1;
      channelIdsOf(m).forEach(function (id) { if (s.channels.indexOf(id) < 0) s.channels.push(id); });
    });
    var body = $('sources').tBodies[0];
    while (body.firstChild) body.removeChild(body.firstChild);
    Object.keys(sources).sort().forEach(function (name) {
      var s = sources[name];
      var row = body.insertRow();
      [name, String(s.seq), String(s.gaps), s.channels.join(', ')].forEach(function (text) {
        row.insertCell().textContent = text;
      });
    });
  }

  $('platform').textContent = String(window.__QVN_NATIVE_PLATFORM__ || '-');
  $('port').textContent = port ? String(port) : '-';
  $('protocol').textContent = String(protocol);
  if (/[?&]popout=1(?:&|$)/.test(location.search)) $('window').textContent = 'popout';

  if (!bridge) {  // the first script found no port or token
    setState('no-bridge');
    console.warn('bridge: no port or token injected');
    return;
  }

  setState('connecting');
  var ws = null;  // the bridge's socket, taken over at the end
  var pending = {};  // request id -> callback of its reply

  function request(type, payload, done) {
    var id = String(nextId++);
    if (done) pending[id] = done;
    ws.send(JSON.stringify({ id: id, type: type, payload: payload }));
  }

  // The local video: the host decodes it and sends "RNVQ" frames, drawn onto the canvas.
  var PLAYER_ID = 1;
  var canvas = $('video-canvas');
  var context = canvas.getContext('2d');
  function videoStatus(text) { $('video-status').textContent = text; }
  function drawFrame(buffer) {
    var view = new DataView(buffer);
    if (buffer.byteLength < 28 || view.getUint32(0, true) !== 0x51564E52) return false;
    if (view.getInt32(4, true) !== PLAYER_ID) return true;
    var width = view.getInt32(8, true), height = view.getInt32(12, true);
    if (width <= 0 || height <= 0 || buffer.byteLength !== 28 + width * height * 4) return true;
    if (canvas.width !== width || canvas.height !== height) { canvas.width = width; canvas.height = height; }
    context.putImageData(new ImageData(new Uint8ClampedArray(buffer, 28), width, height), 0, 0);
    videoStatus(view.getFloat64(16, true).toFixed(2) + ' s');
    return true;
  }
  // While the video plays, the host is asked now and then whether it has stopped at the end,
  // which it does without telling the page.
  var endWatch = 0;
  function stopEndWatch() { if (endWatch) { clearInterval(endWatch); endWatch = 0; } }
  function atEnd(state) { return state.paused && state.duration > 0 && state.time >= state.duration - 0.001; }
  function watchForEnd() {
    stopEndWatch();
    endWatch = setInterval(function () {
      request('playerGetTime', { playerID: PLAYER_ID }, function (msg) {
        if (!endWatch || msg.error !== undefined || !msg.data.paused) return;
        stopEndWatch();
        if (atEnd(msg.data)) videoStatus('ended at ' + msg.data.time.toFixed(2) + ' s (Play starts it again)');
      });
    }, 250);
  }
  $('video-form').addEventListener('submit', function (event) {
    event.preventDefault();
    var path = $('video-path').value.trim();
    if (!path) { videoStatus('enter the path of a video file first'); return; }
    if (ws.readyState !== WebSocket.OPEN) { videoStatus('not connected to the host'); return; }
    stopEndWatch();
    videoStatus('opening');
    request('createNativePlayer', { playerID: PLAYER_ID, path: path, width: 640, height: 360 }, function (msg) {
      var ok = msg.error === undefined;
      videoStatus(ok ? msg.data.videoWidth + 'x' + msg.data.videoHeight + ', ' + msg.data.duration.toFixed(1) + ' s'
                     : msg.error);
      $('video-play').disabled = $('video-pause').disabled = !ok;
    });
  });
  $('video-play').addEventListener('click', function () {
    // A video that played to its end starts again from the beginning.
    request('playerGetTime', { playerID: PLAYER_ID }, function (msg) {
      function play() { request('playerPlay', { playerID: PLAYER_ID }, watchForEnd); }
      if (msg.error === undefined && atEnd(msg.data)) request('playerSeek', { playerID: PLAYER_ID, timeSec: 0 }, play);
      else play();
    });
  });
  $('video-pause').addEventListener('click', function () {
    stopEndWatch();
    request('playerPause', { playerID: PLAYER_ID });
  });
  // Remote access: the listener's status ("remote.status" and "remote.listener") and the sources
  // of the outgoing connection the form starts.
  var REMOTE_CONNECTION = 'page';
  var remoteEnabled = false;
  var remoteSources = {};
  function showRemoteStatus(status) {
    if (!status || typeof status !== 'object') return;
    remoteEnabled = status.enabled === true;
    $('remote-enabled').textContent = remoteEnabled ? 'yes' : 'no';
    $('remote-port').textContent = typeof status.port === 'number' ? String(status.port) : '-';
    $('remote-addresses').textContent = (status.addresses || []).map(function (a) {
      return a.ip + ' (' + a.kind + ')';
    }).join(', ') || '-';
    $('remote-viewers').textContent = String((status.viewers || []).length);
    $('remote-error').textContent = status.error || '';
    $('remote-toggle').textContent = remoteEnabled ? 'Switch off' : 'Switch on';
    $('remote-toggle').disabled = false;
    document.documentElement.setAttribute('data-remote', remoteEnabled ? 'on' : 'off');
  }
  function showRemoteSources() {
    var body = $('remote-sources').tBodies[0];
    while (body.firstChild) body.removeChild(body.firstChild);
    Object.keys(remoteSources).sort().forEach(function (name) {
      var s = remoteSources[name];
      var row = body.insertRow();
      [name, String(s.seq), s.state].forEach(function (text) { row.insertCell().textContent = text; });
    });
  }
  function noteRemote(msg) {
    if (msg.type === 'remote.listener') { showRemoteStatus(msg); return true; }
    if (msg.connectionId !== REMOTE_CONNECTION) return false;
    if (msg.type === 'remote.connection') {
      $('remote-connection').textContent = msg.state + (msg.reason ? ' (' + msg.reason + ')' : '');
    } else if (msg.type === 'remote.batch') {
      (msg.frames || []).forEach(function (f) {
        if (!f || typeof f.source !== 'string') return;
        var s = remoteSources[f.source] || (remoteSources[f.source] = { seq: 0, state: 'live' });
        if (typeof f.seq === 'number') s.seq = f.seq;
      });
      showRemoteSources();
    } else if (msg.type === 'remote.source') {
      var s = remoteSources[msg.source] || (remoteSources[msg.source] = { seq: 0, state: 'live' });
      s.state = String(msg.state);
      showRemoteSources();
    }
    return true;
  }
  $('remote-toggle').addEventListener('click', function () {
    $('remote-toggle').disabled = true;
    request('remote.setEnabled', { enabled: !remoteEnabled }, function (msg) {
      if (msg.error !== undefined) { $('remote-error').textContent = msg.error; $('remote-toggle').disabled = false; }
      else showRemoteStatus(msg.data);
    });
  });
  $('remote-form').addEventListener('submit', function (event) {
    event.preventDefault();
    var addr = $('remote-addr').value.trim();
    remoteSources = {};
    showRemoteSources();
    request('remote.connect', { connectionId: REMOTE_CONNECTION, token: $('remote-token').value.trim(),
                                addr: addr ? [addr] : [] }, function (msg) {
      if (msg.error !== undefined) $('remote-connection').textContent = msg.error;
    });
  });
  $('remote-disconnect').addEventListener('click', function () {
    request('remote.disconnect', { connectionId: REMOTE_CONNECTION });
  });

  function onOpen() {
    setState('connected');
    console.log('bridge connected on port ' + port);
  }
  function onMessage(event) {
    if (typeof event.data !== 'string') {
      if (!drawFrame(event.data)) addEvent('binary frame');
      return;
    }
    var msg;
    try { msg = JSON.parse(event.data); } catch (e) { addEvent('unreadable: ' + event.data.slice(0, 200)); return; }
    if (msg && String(msg.id) === '1') {
      $('hello').textContent = JSON.stringify(msg.error !== undefined ? { error: msg.error } : msg.data, null, 2);
      document.documentElement.setAttribute('data-hello', msg.error !== undefined ? 'error' : 'ok');
      console.log('bridge hello ' + (msg.error !== undefined ? 'failed' : 'answered'));
      request('remote.status', {}, function (reply) { if (reply.error === undefined) showRemoteStatus(reply.data); });
      request('getLogPath', {}, function (reply) {
        $('log-path').textContent = reply.error === undefined ? reply.data.path : reply.error;
      });
      return;
    }
    if (msg && pending[String(msg.id)]) {
      var done = pending[String(msg.id)];
      delete pending[String(msg.id)];
      done(msg);
      return;
    }
    if (msg && typeof msg.type === 'string' && msg.type.indexOf('remote.') === 0 && noteRemote(msg)) return;
    if (msg && msg.type === 'rt.batch') {
      noteBatch(msg.frames);
      return;
    }
    addEvent(msg && msg.type ? msg.type + ' ' + event.data.slice(0, 300) : event.data.slice(0, 300));
  }
  function onError() { setState('error'); }
  function onClose(event) {
    setState('closed');
    console.log('bridge closed (code ' + event.code + ')');
  }
  // What the socket saw before this script ran comes first, in order; its handlers may
  // already send.
  var handlers = { open: onOpen, message: onMessage, error: onError, close: onClose };
  ws = bridge.socket;
  bridge.take(function (event) { handlers[event.type](event); });
})();
