// The WebSocket to the dashboard server. The page only listens: it never sends
// anything. When the socket closes it tries again every second.

export const RECONNECT_DELAY_MS = 1000;

// The server's address: ?ws=URL overrides ws://<this host>/ws.
export function serverUrl(location) {
  const override = new URLSearchParams(location.search).get('ws');
  if (override) return override;
  const scheme = location.protocol === 'https:' ? 'wss' : 'ws';
  return `${scheme}://${location.host}/ws`;
}

// handlers: onOpen(), onMessage(text), onClose(), onError(message) for a URL
// the browser rejects (no retry then: it would fail the same way forever).
export function connect(url, handlers) {
  const open = () => {
    let socket;
    try {
      socket = new WebSocket(url);
    } catch (error) {
      handlers.onError(error.message);
      return;
    }
    socket.onopen = () => handlers.onOpen();
    socket.onmessage = (event) => handlers.onMessage(event.data);
    socket.onclose = () => {
      handlers.onClose();
      setTimeout(open, RECONNECT_DELAY_MS);
    };
  };
  open();
}
