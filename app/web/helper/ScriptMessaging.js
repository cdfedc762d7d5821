// Gives pages written for WebKit their window.webkit.messageHandlers.NAME.postMessage(body),
// carried to the app over QWebChannel. Runs at document creation, inside the same function as
// qwebchannel.js so neither leaves names in the page's global scope.
var handlerNames = %HANDLER_NAMES%;
var bridge = null;
var waiting = [];

function send(name, body) {
    bridge.postMessage(name, body);
}

function handlerFor(name) {
    return Object.freeze({
        postMessage: function (body) {
            // Like WebKit, copy the body when it is posted: only plain data crosses over, and
            // a page changing the object afterwards does not change what the app receives.
            var copy = body === undefined ? null : JSON.parse(JSON.stringify(body));
            if (copy === undefined)
                copy = null;
            if (bridge)
                send(name, copy);
            else
                waiting.push([name, copy]);
        }
    });
}

var handlers = {};
function addHandler(name) {
    if (!Object.prototype.hasOwnProperty.call(handlers, name))
        handlers[name] = handlerFor(name);
}
handlerNames.forEach(addHandler);

window.webkit = window.webkit || {};
window.webkit.messageHandlers = handlers;
Object.defineProperty(window, "__parclyAddMessageHandler", { value: addHandler, configurable: true });

// The transport object may appear a little after the document; wait for it, but not forever.
var attempts = 0;
function connect() {
    if (typeof qt === "undefined" || !qt.webChannelTransport) {
        if (++attempts < 500)
            setTimeout(connect, 10);
        else
            console.error("Script messages: no web channel transport");
        return;
    }
    new QWebChannel(qt.webChannelTransport, function (channel) {
        bridge = channel.objects.%BRIDGE_NAME%;
        var queued = waiting;
        waiting = [];
        queued.forEach(function (message) { send(message[0], message[1]); });
    });
}
connect();
