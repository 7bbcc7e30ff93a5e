/* Bit operations, rotates, exchanges, register banks, the stack, compare-and-jump, MOVC through
 * both pointers, JMP @A+DPTR and MOVX through both pointers. Results stay in internal RAM and are
 * logged to external RAM through DPTR. */
void main(void) __naked
{
	__asm
	mov	sp,#0xC0	; the stack in the upper, indirect-only half
	mov	dptr,#0x0100

; Register banks: every bank keeps R0..R7 in eight bytes of its own.
	mov	psw,#0x18
	mov	r0,#0x30
	mov	r7,#0x37
	mov	psw,#0x10
	mov	r0,#0x20
	mov	r7,#0x27
	mov	psw,#0x08
	mov	r0,#0x10
	mov	r7,#0x17
	mov	psw,#0x00

; Rotates through every value, with and without the carry.
	mov	r2,#0
rot:
	mov	a,r2
	rl	a
	acall	logp
	rr	a
	rr	a
	acall	logp
	setb	c
	rlc	a
	acall	logp
	rrc	a
	rrc	a
	acall	logp
	swap	a
	acall	logp
	cpl	a
	inc	a
	acall	logp
	dec	a
	acall	logp
	inc	r2
	cjne	r2,#0,rot

; Bits in the bit-addressable RAM and in SFRs.
	mov	0x20,#0x00
	mov	0x2F,#0xA5
	setb	0x00
	setb	0x7F
	cpl	0x10
	clr	0x7D
	mov	c,0x78
	mov	0x01,c
	cpl	c
	mov	0x02,c
	anl	c,/0x00
	mov	0x03,c
	setb	c
	anl	c,0x00
	mov	0x04,c
	clr	c
	orl	c,/0x05
	mov	0x05,c
	orl	c,0x06
	mov	0x06,c
	mov	b,#0
	setb	b.3
	setb	b.6
	cpl	b.6
	cpl	b.0
	mov	0x40,b
	mov	a,#0x81
	mov	c,acc.7
	mov	acc.1,c
	mov	0x41,a
	jbc	0x7F,jbc1
	mov	0x42,#0xEE
jbc1:
	jbc	0x7F,jbc2
	mov	0x43,#0x11
jbc2:
	jb	0x00,jb1
	mov	0x44,#0xEE
jb1:
	jnb	0x7F,jnb1
	mov	0x45,#0xEE
jnb1:
	cpl	c
	jc	jc1
	mov	0x46,#0x46
jc1:
	jnc	jnc1
	mov	0x47,#0x47
jnc1:
	mov	a,psw
	mov	0x48,a
	setb	f0
	mov	0x49,psw
	clr	f0

; Exchanges and moves through every operand form.
	mov	r0,#0x50
	mov	r1,#0xD0
	mov	@r0,#0x5A
	mov	@r1,#0xA5
	mov	a,#0x3C
	xch	a,@r0
	xch	a,r1
	xch	a,0x51
	xchd	a,@r0
	mov	0x52,a
	mov	a,#0xF1
	xchd	a,@r1
	mov	0x53,a
	mov	0x54,0x50
	mov	@r1,0x54
	mov	0x55,@r1
	mov	r5,0x55
	mov	0x56,r5
	inc	@r1
	inc	0x56
	dec	r5
	mov	0x57,r5
	dec	@r0
	inc	@r0
	inc	@r0
	mov	b,#0x0F
	orl	0x56,#0x80
	anl	0x56,#0xF7
	xrl	0x56,#0x11
	mov	a,#0x33
	orl	b,a
	anl	0x55,a
	xrl	0x54,a
	mov	0x58,b
	orl	a,0x55
	anl	a,#0x7E
	xrl	a,@r0
	orl	a,r5
	anl	a,@r1
	mov	0x59,a

; Stack.
	mov	0x5A,sp
	push	0x50
	push	b
	push	psw
	pop	0x5B
	pop	0x5C
	pop	0x5D
	mov	0x5E,sp
	acall	sub1
	lcall	sub2

; Compare and jump: carry and branch for less, equal and greater.
	mov	r2,#0
cmp:
	mov	a,r2
	cjne	a,#0x80,1$
1$:	acall	logp
	cjne	a,0x50,2$
2$:	acall	logp
	mov	r3,a
	cjne	r3,#0x40,3$
3$:	acall	logp
	mov	r0,#0x50
	cjne	@r0,#0x5B,4$
4$:	acall	logp
	inc	r2
	cjne	r2,#0,cmp

; DJNZ on a register and on a direct byte.
	mov	r6,#5
	mov	0x60,#3
	mov	0x61,#0
dj:
	inc	0x61
	djnz	r6,dj
	djnz	0x60,dj

; MOVC through PC and DPTR; JMP @A+DPTR through a table of AJMPs.
	mov	r2,#0
tables:
	mov	a,r2
	add	a,#2
	movc	a,@a+pc
	sjmp	5$
	.db	0x11, 0x22, 0x33, 0x44
5$:	mov	r4,a
	mov	a,r2
	rl	a
	push	dpl
	push	dph
	mov	dptr,#jumps
	jmp	@a+dptr
jumps:
	ajmp	j0
	ajmp	j1
	ajmp	j2
	ajmp	j3
j0:	mov	a,#0xA0
	sjmp	jdone
j1:	mov	a,#0xA1
	sjmp	jdone
j2:	mov	a,#0xA2
	sjmp	jdone
j3:	mov	a,#0xA3
jdone:
	add	a,r4
	pop	dph
	pop	dpl
	acall	logp
	inc	r2
	cjne	r2,#4,tables

; MOVX through @Ri with the page in P2, and DPTR wrap.
	mov	p2,#0x7F
	mov	r0,#0xFE
	mov	a,#0x77
	movx	@r0,a
	inc	r0
	movx	@r0,a
	movx	a,@r0
	mov	0x62,a
	mov	0x63,dpl
	mov	0x64,dph
	mov	dptr,#0xFFFF
	inc	dptr
	mov	0x65,dpl
	mov	0x66,dph
	mov	dptr,#0x12FF
	inc	dptr
	mov	0x67,dph
	mov	a,#0x96
	mov	0x68,psw
	ljmp	_halt_here

sub1:
	mov	0x69,sp
	ret
sub2:
	mov	0x6A,sp
	ret

; Logs A then PSW to @DPTR; keeps both.
logp:
	push	acc
	movx	@dptr,a
	inc	dptr
	mov	a,psw
	movx	@dptr,a
	inc	dptr
	pop	acc
	ret

_halt_here::
	sjmp	_halt_here
	__endasm;
}
